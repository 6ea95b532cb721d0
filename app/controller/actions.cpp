// What the user changes from the menu: the device, a phone's channel pair, stream alignment,
// the pairing code, the Bluetooth phone. Settings reach the daemon through small files in the
// settings folder it shares with the app.

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <algorithm>

#include "app_delegate.h"

namespace vocari::app {

namespace {

// Replaces `name` in the settings folder with `bytes` in one step: readers see the old file or
// the new one. Failures are left to the caller's next write; the action goes on regardless.
bool writeSetting(const QString& name, const QByteArray& bytes) {
    const QString folder = AppDelegate::settingsFolder();
    QDir().mkpath(folder);
    QSaveFile file(folder + QLatin1Char('/') + name);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write(bytes);
    return file.commit();
}

}  // namespace

QString AppDelegate::settingsFolder() {
    // The daemon's own rule: $HOME, or /tmp where HOME is not set, so both read one folder.
    const QByteArray home = qgetenv("HOME");
    return (qEnvironmentVariableIsSet("HOME") ? QString::fromLocal8Bit(home)
                                              : QStringLiteral("/tmp")) +
           QStringLiteral("/Library/Application Support/Vocari");
}

void AppDelegate::writeDeviceFile() {
    const QString text = QStringLiteral("uid=%1\nchannel=%2\nalign=%3\n")
                             .arg(chosenUid_)
                             .arg(chosenChannel_)
                             .arg(output_.alignStreams() ? 1 : 0);
    writeSetting(QStringLiteral("device"), text.toUtf8());
}

void AppDelegate::pickDevice(QAction* item) {
    if (item == nullptr || item->data().metaType() != QMetaType::fromType<DeviceChoice>()) {
        return;
    }
    const DeviceChoice choice = item->data().value<DeviceChoice>();
    chosenUid_ = choice.uid;
    chosenChannel_ = 0;
    writeDeviceFile();
    ingest(QStringLiteral("\n\u2014 audio device set to ") + choice.uid +
           QStringLiteral(", first phone on channels 1\u20132 \u2014\n"));
    restart();
}

void AppDelegate::pickPhoneChannel(QAction* item) {
    if (item == nullptr || item->data().metaType() != QMetaType::fromType<ChannelChoice>()) {
        return;
    }
    const ChannelChoice choice = item->data().value<ChannelChoice>();
    pinnedChannels_[choice.deviceId] = choice.pair;
    // Sorted as strings, as the daemon's reader expects nothing else: "12=0" before "7=1".
    QStringList lines;
    for (const auto& [deviceId, pair] : pinnedChannels_) {
        lines << QStringLiteral("%1=%2").arg(deviceId).arg(pair);
    }
    std::sort(lines.begin(), lines.end(),
              [](const QString& a, const QString& b) { return a.toUtf8() < b.toUtf8(); });
    writeSetting(QStringLiteral("channels"), (lines.join(QLatin1Char('\n')) + '\n').toUtf8());
    ingest(QStringLiteral("\n\u2014 %1 \u2192 channels %2\u2013%3 \u2014\n")
               .arg(choice.deviceId)
               .arg(2 * choice.pair + 1)
               .arg(2 * choice.pair + 2));
}

void AppDelegate::toggleAlign() {
    const bool on = !output_.alignStreams();
    output_.setAlignStreams(on);
    alignItem_->setChecked(on);
    writeDeviceFile();
    ingest(QStringLiteral("\n\u2014 stream alignment %1 \u2014\n")
               .arg(on ? QStringLiteral("ON") : QStringLiteral("OFF")));
    restart();
}

void AppDelegate::newPairingCode() {
    const int answer = alerts_->run(
        {QStringLiteral("Generate a new pairing code?"),
         QStringLiteral("The current code stops working. You will need to enter the new code "
                        "on your phone."),
         {QStringLiteral("Generate"), QStringLiteral("Cancel")}});
    if (answer != 0) {
        return;
    }
    QFile::remove(settingsFolder() + QStringLiteral("/pairing"));
    output_.clearPairingCode();
    pairingItem_->setText(QStringLiteral("Pairing code: \u2026"));
    ingest(QStringLiteral("\n\u2014 generating a new pairing code \u2014\n"));
    restart();
}

void AppDelegate::copyPairingCode() {
    const std::optional<std::string>& code = output_.pairingCode();
    if (!code) {
        return;
    }
    alerts_->copy(QString::fromStdString(*code));
}

void AppDelegate::pickBluetooth(QAction* item) {
    std::optional<std::string> address;
    if (item != nullptr && item->data().metaType() == QMetaType::fromType<QString>()) {
        const QString text = item->data().toString();
        if (!text.isEmpty()) {
            address = text.toStdString();
        }
    }
    bluetooth_->choose(address);
    rebuildBluetoothMenu();
}

}  // namespace vocari::app
