// The tray menu and icon: the fixed rows, the status row, and the submenus rebuilt from state.

#include <QKeySequence>
#include <QPainter>
#include <QPixmap>

#include "app_delegate.h"

namespace vocari::app {

namespace {

constexpr int kIconSize = 18;
// More pairs than any device the daemon plays into has (a JACK device has at most 128).
constexpr int kMostPairsShown = 512;
// Longer than anyone reads a menu; after this a menu never said closed is taken as closed.
constexpr double kLongestMenuOpenSeconds = 60.0;

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

QString phoneSignature(const std::vector<PhoneSession>& phones) {
    QStringList entries;
    for (const PhoneSession& phone : phones) {
        entries << QStringLiteral("%1:%2:%3:%4")
                       .arg(phone.deviceId)
                       .arg(phone.firstChannel)
                       .arg(text(phone.name))
                       .arg(phone.xruns >= 1 ? QStringLiteral("true") : QStringLiteral("false"));
    }
    return entries.join(QLatin1Char('|'));
}

QString deviceSignature(const std::vector<LoopbackDevice>& devices) {
    QStringList entries;
    for (const LoopbackDevice& device : devices) {
        entries << QStringLiteral("%1:%2:%3")
                       .arg(text(device.uid))
                       .arg(device.isActive ? QStringLiteral("true") : QStringLiteral("false"))
                       .arg(device.outChannels);
    }
    return entries.join(QLatin1Char('|'));
}

QAction* disabledRow(QMenu* menu, const QString& title) {
    QAction* row = menu->addAction(title);
    row->setEnabled(false);
    return row;
}

}  // namespace

void AppDelegate::buildRootMenu() {
    rootMenu_ = std::make_unique<QMenu>();
    QMenu* menu = rootMenu_.get();
    statusLine_ = disabledRow(menu, QStringLiteral("Starting\u2026"));
    menu->addSeparator();
    pairingItem_ = menu->addAction(QStringLiteral("Pairing code: \u2026"));
    connect(pairingItem_, &QAction::triggered, this, &AppDelegate::copyPairingCode);
    connect(menu->addAction(QStringLiteral("New Pairing Code\u2026")), &QAction::triggered, this,
            &AppDelegate::newPairingCode);
    menu->addSeparator();
    usbItem_ = disabledRow(menu, QStringLiteral("USB: checking\u2026"));
    connect(usbItem_, &QAction::triggered, this, &AppDelegate::usbHelp);
    btItem_ = menu->addAction(QStringLiteral("Bluetooth: off"));
    menu->addSeparator();
    phonesItem_ = menu->addAction(QStringLiteral("Phones: none"));
    alignItem_ = menu->addAction(QStringLiteral("Keep phones in sync"));
    alignItem_->setCheckable(true);
    alignItem_->setChecked(true);
    connect(alignItem_, &QAction::triggered, this, &AppDelegate::toggleAlign);
    menu->addSeparator();
    deviceItem_ = menu->addAction(QStringLiteral("Audio device: \u2026"));
    connect(deviceItem_, &QAction::triggered, this, [this] {
        if (deviceRowOffersHelp_) {
            installBlackHole();
        }
    });
    volumeItem_ = menu->addAction(QString());
    volumeItem_->setVisible(false);
    connect(volumeItem_, &QAction::triggered, this, &AppDelegate::fixDeviceVolume);
    menu->addSeparator();
    QAction* logRow = menu->addAction(QStringLiteral("Show Log\u2026"));
    logRow->setShortcut(QKeySequence(QStringLiteral("Ctrl+L")));
    connect(logRow, &QAction::triggered, this, &AppDelegate::showLog);
    QAction* restartRow = menu->addAction(QStringLiteral("Restart Server"));
    restartRow->setShortcut(QKeySequence(QStringLiteral("Ctrl+R")));
    connect(restartRow, &QAction::triggered, this, &AppDelegate::restart);
    menu->addSeparator();
    QAction* quitRow = menu->addAction(QStringLiteral("Quit Vocari"));
    quitRow->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    connect(quitRow, &QAction::triggered, this, &AppDelegate::quit);

    connect(menu, &QMenu::aboutToShow, this, [this] { menuWillOpen(rootMenu_.get()); });
    connect(menu, &QMenu::aboutToHide, this, [this] { menuDidClose(rootMenu_.get()); });
}

void AppDelegate::setStatus(const QString& title, bool connected) {
    if (statusLine_ != nullptr) {
        statusLine_->setText(title);
    }
    greenShown_ = connected;
    if (statusItem_) {
        statusItem_->setIcon(connected ? greenIcon() : baseIcon());
    }
}

QIcon AppDelegate::baseIcon() {
    if (!baseIcon_) {
        QPixmap image(QStringLiteral(":/menubar.png"));
        QIcon icon;
        if (!image.isNull()) {
            icon = QIcon(image.scaled(2 * kIconSize, 2 * kIconSize, Qt::KeepAspectRatio,
                                      Qt::SmoothTransformation));
        } else {
            icon = QIcon::fromTheme(QStringLiteral("audio-input-microphone"));
        }
        // Drawn in the panel's foreground colour where the desktop supports it.
        icon.setIsMask(true);
        baseIcon_ = icon;
    }
    return *baseIcon_;
}

QIcon AppDelegate::greenIcon() {
    if (!greenIcon_) {
        const QPixmap base = baseIcon().pixmap(2 * kIconSize, 2 * kIconSize);
        QPixmap green(base.size().isEmpty() ? QSize(2 * kIconSize, 2 * kIconSize) : base.size());
        green.fill(Qt::transparent);
        QPainter painter(&green);
        painter.drawPixmap(0, 0, base);
        // Green takes the colour of the icon's opaque pixels; transparent ones stay so.
        painter.setCompositionMode(QPainter::CompositionMode_SourceAtop);
        painter.fillRect(green.rect(), QColor(0x34, 0xC7, 0x59));
        painter.end();
        greenIcon_ = QIcon(green);
    }
    return *greenIcon_;
}

void AppDelegate::rebuildPhoneMenu() {
    const std::vector<PhoneSession>& phones = output_.phones();
    const QString signature = phoneSignature(phones);
    if (signature == lastPhoneSignature_) {
        return;
    }
    if (rootMenuOpen_) {
        rebuildWhenClosed_ = true;
        return;
    }
    lastPhoneSignature_ = signature;
    QMenu* old = phonesItem_->menu();
    if (phones.empty()) {
        phonesItem_->setText(QStringLiteral("Phones: none connected"));
        phonesItem_->setMenu(nullptr);
        if (old != nullptr) {
            old->deleteLater();
        }
        alignItem_->setEnabled(false);
        return;
    }
    phonesItem_->setText(phones.size() == 1
                             ? QStringLiteral("Phones: 1 connected")
                             : QStringLiteral("Phones: %1 connected").arg(phones.size()));
    auto* submenu = new QMenu(rootMenu_.get());
    for (const PhoneSession& phone : phones) {
        QString title =
            text(phone.name) + QStringLiteral("   \u2192   ch ") + text(phone.channelLabel());
        if (phone.xruns >= 1) {
            title += QStringLiteral("  \u26A0 %1").arg(phone.xruns);
        }
        auto* detail = new PhoneDetailMenu(phone.deviceId, submenu);
        detail->setTitle(title);
        connect(detail, &QMenu::aboutToShow, this, [this, detail] { menuNeedsUpdate(detail); });
        submenu->addMenu(detail);
    }
    phonesItem_->setMenu(submenu);
    if (old != nullptr) {
        old->deleteLater();
    }
    alignItem_->setEnabled(phones.size() >= 2);
    alignItem_->setChecked(output_.alignStreams());
}

void AppDelegate::menuNeedsUpdate(QMenu* menu) {
    auto* detail = qobject_cast<PhoneDetailMenu*>(menu);
    if (detail == nullptr) {
        return;
    }
    const std::vector<PhoneSession>& phones = output_.phones();
    const auto phone = std::find_if(phones.begin(), phones.end(), [detail](const auto& p) {
        return p.deviceId == detail->deviceId();
    });
    if (phone == phones.end()) {
        return;
    }
    detail->clear();
    int pairs = 1;
    for (const LoopbackDevice& device : output_.devices()) {
        if (device.isActive) {
            // A device line claiming millions of channels must not hang the menu.
            pairs = std::clamp(device.stereoPairs(), 1, kMostPairsShown);
            break;
        }
    }
    disabledRow(detail, QStringLiteral("Send to channels"));
    for (int i = 0; i < pairs; ++i) {
        QAction* pair =
            detail->addAction(QStringLiteral("%1\u2013%2").arg(2 * i + 1).arg(2 * i + 2));
        pair->setCheckable(true);
        pair->setChecked(phone->firstChannel == 2 * i + 1);
        // Pins go by the phone's stable ID: a phone that sends none cannot be pinned.
        pair->setEnabled(phone->deviceId != 0);
        pair->setData(QVariant::fromValue(ChannelChoice{phone->deviceId, i}));
        connect(pair, &QAction::triggered, this, [this, pair] { pickPhoneChannel(pair); });
    }
    detail->addSeparator();
    disabledRow(
        detail,
        QStringLiteral("Buffer %1 ms (target %2 ms)").arg(phone->bufferMs).arg(phone->targetMs));
    disabledRow(detail, QStringLiteral("Profile: ") + text(phone->preset) +
                            QStringLiteral(" \u00B7 ") + text(phone->format).toUpper());
    if (phone->netDelayMs >= 0) {
        disabledRow(detail, QString::asprintf("Network delay %.1f ms", phone->netDelayMs));
    }
    if (phone->rttMs > 0) {
        disabledRow(detail, QString::asprintf("Round trip %.1f ms", phone->rttMs));
    }
    disabledRow(
        detail,
        QStringLiteral("Dropouts %1 \u00B7 packets %2").arg(phone->xruns).arg(phone->packets));
    disabledRow(detail, QStringLiteral("Address ") + text(phone->label));
}

void AppDelegate::rebuildDeviceMenu() {
    const std::vector<LoopbackDevice>& devices = output_.devices();
    const QString signature = deviceSignature(devices);
    if (signature == lastDeviceSignature_ && !devices.empty()) {
        return;
    }
    if (rootMenuOpen_) {
        rebuildWhenClosed_ = true;
        return;
    }
    lastDeviceSignature_ = signature;
    QMenu* old = deviceItem_->menu();
    if (devices.empty()) {
        deviceItem_->setText(
            QStringLiteral("\u26A0 No audio device \u2014 Install BlackHole\u2026"));
        deviceItem_->setMenu(nullptr);
        if (old != nullptr) {
            old->deleteLater();
        }
        volumeItem_->setVisible(false);
        deviceRowOffersHelp_ = true;
        return;
    }
    deviceRowOffersHelp_ = false;
    const auto active = std::find_if(devices.begin(), devices.end(),
                                     [](const LoopbackDevice& d) { return d.isActive; });
    const LoopbackDevice& shown = active != devices.end() ? *active : devices.front();
    if (chosenUid_.isEmpty() && shown.isActive) {
        chosenUid_ = text(shown.uid);
        chosenChannel_ = shown.firstChannel;
    }
    QString title = QStringLiteral("Audio device: ") + text(shown.name);
    if (shown.stereoPairs() >= 2) {
        title += QStringLiteral("  \u00B7  %1 phone slots").arg(shown.stereoPairs());
    }
    deviceItem_->setText(title);
    auto* submenu = new QMenu(rootMenu_.get());
    for (const LoopbackDevice& device : devices) {
        QAction* row = submenu->addAction(text(device.name));
        row->setCheckable(true);
        row->setChecked(device.isActive);
        row->setData(QVariant::fromValue(DeviceChoice{text(device.uid), 0}));
        connect(row, &QAction::triggered, this, [this, row] { pickDevice(row); });
    }
    submenu->addSeparator();
    connect(submenu->addAction(QStringLiteral("Install BlackHole\u2026")), &QAction::triggered,
            this, &AppDelegate::installBlackHole);
    deviceItem_->setMenu(submenu);
    if (old != nullptr) {
        old->deleteLater();
    }
    refreshVolumeWarning(shown.uid, shown.name);
    restartOnceForNewDevice(active != devices.end());
}

void AppDelegate::restartOnceForNewDevice(bool deviceInUse) {
    // The daemon picks its device when it starts: one that was playing into the default output
    // for want of a loopback device does not move to one plugged in (or a JACK server started)
    // later. Once a run, so a device the daemon cannot open does not restart it for ever.
    if (deviceInUse || !output_.driverMissing() || restartedForNewDevice_) {
        return;
    }
    restartedForNewDevice_ = true;
    // Not from inside the reading of the daemon's output that brought the list.
    scheduler_->after(0.0, this, [this] {
        if (!quitting_) {
            restart();
        }
    });
}

void AppDelegate::rebuildBluetoothMenu() {
    auto* submenu = new QMenu(rootMenu_.get());
    const std::optional<std::string> chosen = bluetooth_->chosenAddress();
    QAction* off = submenu->addAction(QStringLiteral("Off"));
    off->setCheckable(true);
    off->setChecked(!chosen.has_value());
    off->setData(QString());
    connect(off, &QAction::triggered, this, [this, off] { pickBluetooth(off); });
    submenu->addSeparator();
    std::vector<BtOffer> offers = bluetooth_->offering();
    if (chosen && std::none_of(offers.begin(), offers.end(),
                               [&](const BtOffer& o) { return o.address == *chosen; })) {
        offers.push_back({*chosen, bluetooth_->systemName(*chosen).value_or(*chosen)});
    }
    if (offers.empty()) {
        disabledRow(submenu, QStringLiteral("No phone is offering Vocari"));
        disabledRow(submenu, QStringLiteral("Open Vocari on the phone and choose Bluetooth"));
    }
    for (const BtOffer& offer : offers) {
        QAction* row = submenu->addAction(text(offer.name));
        row->setCheckable(true);
        row->setChecked(chosen && offer.address == *chosen);
        row->setData(text(offer.address));
        connect(row, &QAction::triggered, this, [this, row] { pickBluetooth(row); });
    }
    QMenu* old = btItem_->menu();
    btItem_->setMenu(submenu);
    if (old != nullptr) {
        old->deleteLater();
    }
}

void AppDelegate::menuWillOpen(QMenu* menu) {
    if (menu != rootMenu_.get()) {
        return;
    }
    rootMenuOpen_ = true;
    // A panel that asks for the menu without ever saying it closed (some fetch it ahead) must
    // not freeze the phones and the device for the rest of the run.
    const uint64_t opening = ++menuOpenings_;
    scheduler_->after(kLongestMenuOpenSeconds, this, [this, opening] {
        if (rootMenuOpen_ && menuOpenings_ == opening) {
            menuDidClose(rootMenu_.get());
        }
    });
}

void AppDelegate::menuDidClose(QMenu* menu) {
    if (menu != rootMenu_.get()) {
        return;
    }
    rootMenuOpen_ = false;
    if (rebuildWhenClosed_) {
        rebuildWhenClosed_ = false;
        rebuildPhoneMenu();
        rebuildDeviceMenu();
    }
}

}  // namespace vocari::app
