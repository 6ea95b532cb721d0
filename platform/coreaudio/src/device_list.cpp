#include "device_list.h"

#include <map>
#include <mutex>

#include "jack_backend.h"
#include "pipewire_backend.h"
#include "vocari/sim_audio.h"

namespace vocari::coreaudio {
namespace {

// IDs start well clear of the system object and of small numbers a caller might confuse
// with counts.
constexpr AudioObjectID kFirstDeviceId = 100;

// One ID per UID for the life of the process, so a device that is unplugged and plugged in
// again keeps its ID.
AudioObjectID idForUid(const std::string& uid) {
    static std::mutex mutex;
    static std::map<std::string, AudioObjectID> ids;
    static AudioObjectID next = kFirstDeviceId;
    const std::lock_guard lock(mutex);
    const auto [entry, added] = ids.try_emplace(uid, next);
    if (added) {
        ++next;
    }
    return entry->second;
}

UInt32 transportCode(const std::string& transport) {
    if (transport == "virtual") {
        return kAudioDeviceTransportTypeVirtual;
    }
    if (transport == "builtin") {
        return kAudioDeviceTransportTypeBuiltIn;
    }
    if (transport == "usb") {
        return kAudioDeviceTransportTypeUSB;
    }
    if (transport == "bluetooth") {
        return kAudioDeviceTransportTypeBluetooth;
    }
    return kAudioDeviceTransportTypeUnknown;
}

}  // namespace

std::vector<HalDevice> currentDevices() {
    std::vector<HalDevice> devices;
    const std::string folder = simAudioFolder();
    ensureSimAudioFolder(folder);
    for (const auto& sim : listSimDevices(folder)) {
        HalDevice device;
        device.id = idForUid(sim.uid);
        device.kind = HalDevice::Kind::Simulated;
        device.uid = sim.uid;
        device.name = sim.name;
        device.transport = transportCode(sim.transport);
        device.inputChannels = sim.inputChannels;
        device.outputChannels = sim.outputChannels;
        device.bufferFrames = sim.bufferFrames;
        device.sampleRate = kSimSampleRate;
        device.ratePpm = sim.ratePpm;
        device.outputVolume = sim.outputVolume;
        device.inputVolume = sim.inputVolume;
        device.defaultOutput = sim.defaultOutput;
        device.folder = folder;
        devices.push_back(std::move(device));
    }
    if (pipeWireReachable()) {
        HalDevice device;
        device.kind = HalDevice::Kind::PipeWire;
        device.uid = kPipeWireUid;
        device.id = idForUid(device.uid);
        device.name = kPipeWireDeviceName;
        device.transport = kAudioDeviceTransportTypeVirtual;
        // Programs record the pairs' sources; the input side is reported so that the daemon
        // takes the device for the loopback it is.
        device.inputChannels = kPipeWireChannels;
        device.outputChannels = kPipeWireChannels;
        device.bufferFrames = kPipeWireBufferFrames;
        device.sampleRate = kSimSampleRate;
        devices.push_back(std::move(device));
    }
    if (const auto server = reachableJackServer()) {
        HalDevice device;
        device.kind = HalDevice::Kind::Jack;
        device.uid = "jack:" + server->serverName;
        device.id = idForUid(device.uid);
        device.name = "JACK " + server->serverName;
        device.transport = kAudioDeviceTransportTypeVirtual;
        device.inputChannels = jackDeviceChannels();
        device.outputChannels = device.inputChannels;
        device.bufferFrames = server->bufferFrames;
        device.sampleRate = server->sampleRate;
        device.jackServer = server->serverName;
        devices.push_back(std::move(device));
    }
    return devices;
}

std::optional<HalDevice> findDevice(AudioObjectID id) {
    for (auto& device : currentDevices()) {
        if (device.id == id) {
            return std::move(device);
        }
    }
    return std::nullopt;
}

AudioObjectID defaultOutputDevice(const std::vector<HalDevice>& devices) {
    for (const auto& device : devices) {
        if (device.defaultOutput && device.outputChannels > 0) {
            return device.id;
        }
    }
    // Like a Mac whose chosen output went away: the first device that can play takes over.
    for (const auto& device : devices) {
        if (device.outputChannels > 0) {
            return device.id;
        }
    }
    return kAudioObjectUnknown;
}

}  // namespace vocari::coreaudio
