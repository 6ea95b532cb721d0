#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

namespace vocari::app {

// A modal question or notice: its message, the text under it, and its buttons, the first the
// default.
struct Alert {
    QString message;
    QString informative;
    QStringList buttons;
};

// Where the app meets the user outside its menu: alerts, the clipboard, web pages. The app uses
// the desktop's; tests answer alerts and read what was copied or opened.
class Alerts {
  public:
    virtual ~Alerts() = default;
    // The index of the button chosen, or -1 when the alert was closed without one.
    virtual int run(const Alert& alert) = 0;
    // Replaces the clipboard's contents with `text`.
    virtual void copy(const QString& text) = 0;
    // Opens `page` in the user's browser.
    virtual void open(const QUrl& page) = 0;
};

// Modal message boxes brought to the front, the system clipboard, the default browser.
class DialogAlerts final : public Alerts {
  public:
    int run(const Alert& alert) override;
    void copy(const QString& text) override;
    void open(const QUrl& page) override;
};

}  // namespace vocari::app
