// The daemon's output and the app's own lines: the capped log, and what the lines say.

#include <QTextBoundaryFinder>

#include "app_delegate.h"

namespace vocari::app {

namespace {

// The log may grow to this many characters, then keeps the last kLogKept: a cut at most once
// per 40 000 characters of output.
constexpr qsizetype kLogLimit = 200000;
constexpr qsizetype kLogKept = 160000;

// User-perceived characters (grapheme clusters), as a reader counts them.
qsizetype characterCount(const QString& text) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1) {
        ++count;
    }
    return count;
}

}  // namespace

void AppDelegate::ingest(const QString& text) {
    appendToLog(text);
    const QByteArray utf8 = text.toUtf8();
    output_.take(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())), *this);
    showLogText();
}

void AppDelegate::appendToLog(const QString& text) {
    log_ += text;
    // Counted a chunk at a time, a character joined across chunks (CR then LF) is counted
    // twice: the sum can only run ahead, so it is made exact before it decides a cut.
    logCharacters_ += characterCount(text);
    if (logCharacters_ <= kLogLimit) {
        return;
    }
    logCharacters_ = characterCount(log_);
    if (logCharacters_ <= kLogLimit) {
        return;
    }
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, log_);
    finder.toEnd();
    for (qsizetype kept = 0; kept < kLogKept; ++kept) {
        finder.toPreviousBoundary();
    }
    log_.remove(0, finder.position());
    logCharacters_ = kLogKept;
}

void AppDelegate::setStatus(const std::string& text, bool connected) {
    setStatus(QString::fromStdString(text), connected);
}

void AppDelegate::showAlignment(bool on) {
    if (alignItem_ != nullptr) {
        alignItem_->setChecked(on);
    }
}

void AppDelegate::showPairingCode(const std::string& code) {
    if (pairingItem_ != nullptr) {
        pairingItem_->setText(QStringLiteral("Pairing code: ") + QString::fromStdString(code) +
                              QStringLiteral("   (click to copy)"));
    }
}

}  // namespace vocari::app
