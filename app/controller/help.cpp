// The device volume warning, the two help alerts and the server log window.

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QFontDatabase>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QUrl>
#include <QVBoxLayout>

#include "app_delegate.h"
#include "device_volume.h"
#include "help_texts.h"

namespace vocari::app {

namespace {

// Below this the device is said to be turned down: 0.99 and up reads as full.
constexpr float kFullVolume = 0.99f;

// A window that only hides when closed, so the next "Show Log…" brings it back as it was.
class LogWindow final : public QWidget {
  public:
    LogWindow() {
        setWindowTitle(QStringLiteral("Vocari Server Log"));
        setAttribute(Qt::WA_DeleteOnClose, false);
    }
};

}  // namespace

int DialogAlerts::run(const Alert& alert) {
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Vocari"));
    box.setText(alert.message);
    box.setInformativeText(alert.informative);
    std::vector<QAbstractButton*> buttons;
    for (const QString& title : alert.buttons) {
        const bool cancel = title == QStringLiteral("Cancel");
        buttons.push_back(
            box.addButton(title, cancel ? QMessageBox::RejectRole : QMessageBox::AcceptRole));
    }
    if (!buttons.empty()) {
        box.setDefaultButton(qobject_cast<QPushButton*>(buttons.front()));
    }
    box.raise();
    box.activateWindow();
    box.exec();
    const auto chosen = std::find(buttons.begin(), buttons.end(), box.clickedButton());
    return chosen == buttons.end() ? -1 : static_cast<int>(chosen - buttons.begin());
}

void DialogAlerts::copy(const QString& text) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(text);
}

void DialogAlerts::open(const QUrl& page) {
    QDesktopServices::openUrl(page);
}

void AppDelegate::refreshVolumeWarning(const std::string& uid, const std::string& name) {
    refreshVolumeWarning(QString::fromStdString(uid), QString::fromStdString(name));
}

void AppDelegate::refreshVolumeWarning(const QString& uid, const QString& name) {
    const std::optional<float> volume = DeviceVolume::lowestScalar(uid.toStdString());
    if (!volume || !(*volume < kFullVolume)) {
        volumeItem_->setVisible(false);
        return;
    }
    volumeItem_->setData(QVariant::fromValue(DeviceChoice{uid, 0}));
    const float percent = *volume * 100.0f;
    volumeItem_->setText(QString::asprintf("\u26A0 %s volume is %.0f%% \u2014 click to set 100%%",
                                           name.toUtf8().constData(),
                                           static_cast<double>(percent)));
    volumeItem_->setVisible(true);
}

void AppDelegate::fixDeviceVolume() {
    if (volumeItem_->data().metaType() != QMetaType::fromType<DeviceChoice>()) {
        return;
    }
    const QString uid = volumeItem_->data().value<DeviceChoice>().uid;
    if (!DeviceVolume::setUnity(uid.toStdString())) {
        return;
    }
    ingest(QStringLiteral("\n\u2014 set ") + uid + QStringLiteral(" volume to 100% \u2014\n"));
    for (const LoopbackDevice& device : output_.devices()) {
        if (device.isActive) {
            refreshVolumeWarning(device.uid, device.name);
            break;
        }
    }
}

void AppDelegate::installBlackHole() {
    const int answer =
        alerts_->run({QString::fromUtf8(help::kLoopbackMessage),
                      QString::fromUtf8(help::kLoopbackInformative),
                      {QString::fromUtf8(help::kLoopbackOpenPage),
                       QString::fromUtf8(help::kLoopbackCopy), QStringLiteral("Cancel")}});
    if (answer == 0) {
        alerts_->open(QUrl(QString::fromUtf8(help::kLoopbackPage)));
    } else if (answer == 1) {
        alerts_->copy(QString::fromUtf8(help::kLoopbackCommand));
    }
}

void AppDelegate::usbHelp() {
    alerts_->run({QString::fromUtf8(help::kAdbMessage),
                  QString::fromUtf8(help::kAdbInformative),
                  {QStringLiteral("OK")}});
}

void AppDelegate::showLog() {
    if (!logWindow_) {
        logWindow_ = std::make_unique<LogWindow>();
        logWindow_->resize(720, 420);
        auto* layout = new QVBoxLayout(logWindow_.get());
        layout->setContentsMargins(0, 0, 0, 0);
        logView_ = new QPlainTextEdit(logWindow_.get());
        logView_->setReadOnly(true);
        logView_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        logView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPointSize(11);
        logView_->setFont(font);
        layout->addWidget(logView_);
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            logWindow_->move(screen->availableGeometry().center() - logWindow_->rect().center());
        }
    }
    logWindow_->show();
    showLogText();
    logWindow_->raise();
    logWindow_->activateWindow();
}

void AppDelegate::showLogText() {
    // A hidden window is filled when it is shown again: the same text, without laying out
    // 200 000 characters on every read while nobody looks.
    if (logView_ == nullptr || !logWindow_->isVisible()) {
        return;
    }
    logView_->setPlainText(log_);
    logView_->verticalScrollBar()->setValue(logView_->verticalScrollBar()->maximum());
}

}  // namespace vocari::app
