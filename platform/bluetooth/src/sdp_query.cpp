#include "sdp_query.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace vocari::bt {

namespace {

// Paging a device that is off or away takes the controller about five seconds; twice that covers
// a slow phone.
constexpr int kConnectTimeoutMs = 10'000;
std::optional<Uuid> fullUuid(const uuid_t& uuid) {
    uuid_t full{};
    switch (uuid.type) {
        case SDP_UUID16:
            sdp_uuid16_to_uuid128(&full, &uuid);
            break;
        case SDP_UUID32:
            sdp_uuid32_to_uuid128(&full, &uuid);
            break;
        case SDP_UUID128:
            full = uuid;
            break;
        default:
            return std::nullopt;
    }
    Uuid bytes{};
    std::memcpy(bytes.data(), full.value.uuid128.data, bytes.size());
    return bytes;
}

void freeRecord(void* record) {
    sdp_record_free(static_cast<sdp_record_t*>(record));
}

// 0 once the session's socket is connected, else why not.
int waitConnected(int fd, int wake) {
    pollfd waiting[2] = {{fd, POLLOUT, 0}, {wake, POLLIN, 0}};
    int ready = 0;
    do {
        ready = ::poll(waiting, 2, kConnectTimeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        return errno;
    }
    if (ready == 0) {
        return ETIMEDOUT;
    }
    if (waiting[1].revents != 0) {
        return ECANCELED;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return errno;
    }
    if (error == 0 && (waiting[0].revents & POLLOUT) == 0) {
        return ECONNRESET;
    }
    return error;
}

int searchRecords(sdp_session_t* session, std::vector<ServiceRecord>& records) {
    uuid_t l2cap{};
    sdp_uuid16_create(&l2cap, L2CAP_UUID);
    uint32_t everyAttribute = 0x0000ffff;
    sdp_list_t* pattern = sdp_list_append(nullptr, &l2cap);
    sdp_list_t* attributes = sdp_list_append(nullptr, &everyAttribute);
    sdp_list_t* found = nullptr;
    errno = 0;
    const int result =
        sdp_service_search_attr_req(session, pattern, SDP_ATTR_REQ_RANGE, attributes, &found);
    const int error = errno != 0 ? errno : EIO;
    sdp_list_free(pattern, nullptr);
    sdp_list_free(attributes, nullptr);
    if (result == 0) {
        for (sdp_list_t* item = found; item != nullptr; item = item->next) {
            records.push_back(serviceRecordFrom(*static_cast<const sdp_record_t*>(item->data)));
        }
    }
    sdp_list_free(found, freeRecord);
    return result == 0 ? 0 : error;
}

}  // namespace

SdpCancel::SdpCancel() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SdpCancel::~SdpCancel() {
    if (wake_ >= 0) {
        ::close(wake_);
    }
}

void SdpCancel::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    const uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);
    }
}

bool SdpCancel::attach(int fd) {
    std::lock_guard lock(mutex_);
    if (cancelled_) {
        return false;
    }
    fd_ = fd;
    return true;
}

void SdpCancel::detach() {
    std::lock_guard lock(mutex_);
    fd_ = -1;
}

int querySdp(const std::string& address, std::vector<ServiceRecord>& records, SdpCancel& cancel) {
    bdaddr_t target{};
    if (str2ba(address.c_str(), &target) != 0) {
        return EINVAL;
    }
    const bdaddr_t anyAdapter{};
    errno = 0;
    sdp_session_t* session = sdp_connect(&anyAdapter, &target, SDP_NON_BLOCKING);
    if (session == nullptr) {
        return errno != 0 ? errno : EIO;
    }
    const int fd = sdp_get_socket(session);
    int status = cancel.attach(fd) ? waitConnected(fd, cancel.wakeFd()) : ECANCELED;
    if (status == 0) {
        status = searchRecords(session, records);
    }
    cancel.detach();
    sdp_close(session);
    return status;
}

ServiceRecord serviceRecordFrom(const sdp_record_t& record) {
    ServiceRecord service;
    // libbluetooth gathers every UUID of the record, at any depth, as it parses it (widened to
    // 128 bits by the versions we know; any shorter one is widened here).
    for (const sdp_list_t* item = record.pattern; item != nullptr; item = item->next) {
        const auto uuid = fullUuid(*static_cast<const uuid_t*>(item->data));
        if (uuid && !service.hasService(*uuid)) {
            service.uuids.push_back(*uuid);
        }
    }
    const sdp_data_t* name = sdp_data_get(&record, SDP_ATTR_SVCNAME_PRIMARY);
    if (name != nullptr && SDP_IS_TEXT_STR(name->dtd) && name->val.str != nullptr) {
        service.name = std::string(name->val.str);  // up to a terminating zero some phones send
    }
    sdp_list_t* protocols = nullptr;
    if (sdp_get_access_protos(&record, &protocols) == 0) {
        const int channel = sdp_get_proto_port(protocols, RFCOMM_UUID);
        if (channel >= 1 && channel <= kLastRfcommChannel) {
            service.rfcommChannel = static_cast<uint8_t>(channel);
        }
        for (sdp_list_t* item = protocols; item != nullptr; item = item->next) {
            sdp_list_free(static_cast<sdp_list_t*>(item->data), nullptr);
        }
        sdp_list_free(protocols, nullptr);
    }
    return service;
}

}  // namespace vocari::bt
