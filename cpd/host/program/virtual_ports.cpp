// Virtual adapters inside cpd-host on Linux: the interposer's start-up, the adapters and the
// unix-socket bridge that lets another process play a device.
#include "cpd/host/program/virtual_ports.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "cpd/host/program/os.h"
#include "cpd/host/program/plugin_loader.h"
#include "vserial/interpose.h"

namespace cpd::host {

namespace {

bool ParseHex16(const std::string& text, uint16_t* out) {
    if (text.empty() || text.size() > 4) {
        return false;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 16);
    if (*end != '\0') {
        return false;
    }
    *out = static_cast<uint16_t>(value);
    return true;
}

const char* ParityLetter(vserial::Parity parity) {
    switch (parity) {
        case vserial::Parity::kOdd:
            return "O";
        case vserial::Parity::kEven:
            return "E";
        case vserial::Parity::kMark:
            return "M";
        case vserial::Parity::kSpace:
            return "S";
        default:
            return "N";
    }
}

// Waits for `events` on fd, or for the wake descriptor; false once woken or on error.
bool WaitFor(int fd, short events, int wakeFd) {
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return fds[1].revents == 0;
}

}  // namespace

// Serves an adapter's far end on a unix socket: one client at a time; bytes the port writes go
// to the client, bytes the client writes arrive at the port. While no client is connected the
// line is left alone. Its thread is woken through an eventfd and joined by the destructor.
class UnixPeerBridge {
  public:
    static std::unique_ptr<UnixPeerBridge> Create(int peerFd, const std::string& path,
                                                  std::string* error) {
        sockaddr_un address{};
        if (path.empty() || path.size() >= sizeof(address.sun_path)) {
            *error = "unix socket path must be 1 to " +
                     std::to_string(sizeof(address.sun_path) - 1) + " characters: " + path;
            return nullptr;
        }
        // A socket left behind by an earlier run is replaced; any other file is not ours.
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode)) {
                *error = path + " exists and is not a socket";
                return nullptr;
            }
            ::unlink(path.c_str());
        }
        std::unique_ptr<UnixPeerBridge> bridge(new UnixPeerBridge(peerFd, path));
        // Non-blocking, so that a port nobody reads cannot hold the thread in a write past a
        // stop request; the adapter's own flags come back when the bridge ends.
        bridge->mSavedFlags = ::fcntl(peerFd, F_GETFL);
        if (bridge->mSavedFlags < 0 ||
            ::fcntl(peerFd, F_SETFL, bridge->mSavedFlags | O_NONBLOCK) != 0) {
            *error = std::string("line end of the virtual adapter: ") + std::strerror(errno);
            return nullptr;
        }
        bridge->mListenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bridge->mWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size());
        if (bridge->mListenFd < 0 || bridge->mWakeFd < 0 ||
            ::bind(bridge->mListenFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) !=
                0 ||
            ::listen(bridge->mListenFd, 1) != 0) {
            *error = "unix socket " + path + ": " + std::strerror(errno);
            return nullptr;
        }
        bridge->mBound = true;
        bridge->mThread = std::thread(&UnixPeerBridge::run, bridge.get());
        return bridge;
    }

    ~UnixPeerBridge() {
        if (mThread.joinable()) {
            const uint64_t one = 1;
            (void)!::write(mWakeFd, &one, sizeof(one));
            mThread.join();
        }
        if (mListenFd >= 0) {
            ::close(mListenFd);
        }
        if (mWakeFd >= 0) {
            ::close(mWakeFd);
        }
        if (mBound) {
            ::unlink(mPath.c_str());
        }
        if (mSavedFlags >= 0) {
            ::fcntl(mPeerFd, F_SETFL, mSavedFlags);
        }
    }
    UnixPeerBridge(const UnixPeerBridge&) = delete;
    UnixPeerBridge& operator=(const UnixPeerBridge&) = delete;

  private:
    UnixPeerBridge(int peerFd, std::string path) : mPeerFd(peerFd), mPath(std::move(path)) {}

    void run() {
        while (WaitFor(mListenFd, POLLIN, mWakeFd)) {
            const int client = ::accept4(mListenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                continue;
            }
            const bool woken = !bridge(client);
            ::close(client);
            if (woken) {
                return;
            }
        }
    }

    // Copies both ways until the client leaves (true) or the bridge is stopped (false).
    bool bridge(int client) {
        for (;;) {
            pollfd fds[3] = {{mPeerFd, POLLIN, 0}, {client, POLLIN, 0}, {mWakeFd, POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return true;
            }
            if (fds[2].revents != 0) {
                return false;
            }
            if (fds[1].revents != 0) {
                const ssize_t n = ::read(client, mBuffer, sizeof(mBuffer));
                if (n <= 0) {
                    return true;
                }
                if (!copy(mPeerFd, false, mBuffer, static_cast<size_t>(n))) {
                    return !mStopping;
                }
            }
            if (fds[0].revents & POLLIN) {
                const ssize_t n = ::read(mPeerFd, mBuffer, sizeof(mBuffer));
                if (n > 0 && !copy(client, true, mBuffer, static_cast<size_t>(n))) {
                    return !mStopping;
                }
            }
        }
    }

    // Writes all bytes to a non-blocking descriptor (the client socket or the line end),
    // waiting for room only when it is full and never past a stop request. A short write means
    // full: waiting at once saves the write that would only answer EAGAIN.
    bool copy(int fd, bool socket, const uint8_t* data, size_t n) {
        for (;;) {
            const ssize_t written =
                socket ? ::send(fd, data, n, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(fd, data, n);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written == 0 || (written < 0 && errno != EAGAIN)) {
                return false;
            }
            if (written > 0) {
                data += written;
                n -= static_cast<size_t>(written);
                if (n == 0) {
                    return true;
                }
            }
            if (!WaitFor(fd, POLLOUT, mWakeFd)) {
                mStopping = true;
                return false;
            }
        }
    }

    int mPeerFd;
    std::string mPath;
    int mListenFd = -1;
    int mWakeFd = -1;
    bool mBound = false;
    int mSavedFlags = -1;
    bool mStopping = false;  // bridge thread only
    // Large enough that a burst from the client reaches the line in few system calls.
    uint8_t mBuffer[65536];  // bridge thread only
    std::thread mThread;
};

bool VirtualAdaptersSupported() {
    return true;
}

bool LoadInterposer(const char* const* argv, std::string* error) {
    if (::dlsym(RTLD_DEFAULT, VS_CONTROLS_SYMBOL) != nullptr) {
        return true;
    }
    const std::string library = FindLibrary(CPD_HOST_INTERPOSER_FILE, CPD_HOST_BUILD_INTERPOSER);
    const char* preload = std::getenv("LD_PRELOAD");
    const std::string preloaded = preload != nullptr ? preload : "";
    // Already asked for and still missing: the dynamic linker refused it (and said why).
    if (preloaded.find(library) != std::string::npos) {
        *error = "virtual adapters need " + library + " preloaded, and it could not be";
        return false;
    }
    if (!FileReadable(library)) {
        *error = "virtual adapters need " + library + ", which is missing";
        return false;
    }
    // After what is preloaded already: a sanitizer runtime preloaded by hand stays first. (A
    // build whose AddressSanitizer runtime is linked in dynamically needs
    // ASAN_OPTIONS=verify_asan_link_order=0, as the asan test preset sets.)
    const std::string list = preloaded.empty() ? library : preloaded + ":" + library;
    if (::setenv("LD_PRELOAD", list.c_str(), 1) == 0) {
        ::execv("/proc/self/exe", const_cast<char* const*>(argv));
    }
    *error = "cannot restart with " + library + ": " + std::strerror(errno);
    return false;
}

bool ParseVirtualSpec(const std::string& text, VirtualSpec* out, std::string* error) {
    VirtualSpec spec;
    spec.identity.manufacturer = "cpd-host";
    spec.identity.product = "Virtual UART";
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) {
            comma = text.size();
        }
        const std::string item = text.substr(start, comma - start);
        start = comma + 1;
        if (item.empty()) {
            continue;
        }
        const size_t eq = item.find('=');
        if (eq == std::string::npos) {
            *error = "--virtual: \"" + item + "\" is not KEY=VALUE";
            return false;
        }
        const std::string key = item.substr(0, eq);
        const std::string value = item.substr(eq + 1);
        if (key == "product") {
            spec.identity.product = value;
        } else if (key == "manufacturer") {
            spec.identity.manufacturer = value;
        } else if (key == "serial") {
            spec.identity.serial = value;
        } else if (key == "vid" || key == "pid") {
            if (!ParseHex16(value, key == "vid" ? &spec.identity.vid : &spec.identity.pid)) {
                *error = "--virtual: " + key + " must be 1 to 4 hex digits, got \"" + value + "\"";
                return false;
            }
        } else if (key == "peer") {
            if (value == "echo") {
                spec.peer = VirtualSpec::Peer::kEcho;
            } else if (value == "none") {
                spec.peer = VirtualSpec::Peer::kNone;
            } else if (value.rfind("unix:", 0) == 0 && value.size() > 5) {
                spec.peer = VirtualSpec::Peer::kUnix;
                spec.socketPath = value.substr(5);
            } else {
                *error = "--virtual: peer must be echo, none or unix:PATH, got \"" + value + "\"";
                return false;
            }
        } else if (key == "pace") {
            if (value != "line" && value != "none") {
                *error = "--virtual: pace must be line or none, got \"" + value + "\"";
                return false;
            }
            spec.pacing = value == "line" ? vserial::Pacing::kLineRate : vserial::Pacing::kNone;
        } else {
            *error = "--virtual: unknown key \"" + key +
                     "\" (product, manufacturer, serial, vid, pid, peer, pace)";
            return false;
        }
    }
    *out = spec;
    return true;
}

struct VirtualPorts::Parts {
    std::unique_ptr<vserial::Rig> rig;
    std::vector<vserial::Adapter*> adapters;
    // Declared after the rig: they end before the adapters they use.
    std::vector<std::unique_ptr<vserial::EchoDevice>> echoes;
    std::vector<std::unique_ptr<UnixPeerBridge>> bridges;
};

std::unique_ptr<VirtualPorts> VirtualPorts::Create(const std::vector<VirtualSpec>& specs,
                                                   std::string* error) {
    std::unique_ptr<VirtualPorts> ports(new VirtualPorts());
    if (specs.empty()) {
        return ports;
    }
    ports->mParts = std::make_unique<Parts>();
    Parts& parts = *ports->mParts;
    parts.rig = vserial::Rig::Create();
    if (parts.rig == nullptr) {
        *error = "virtual serial adapters are not available in this process";
        return nullptr;
    }
    for (const VirtualSpec& spec : specs) {
        vserial::Adapter* adapter = parts.rig->AddUsbAdapter(spec.identity, spec.pacing);
        if (adapter == nullptr) {
            *error = "cannot create a virtual adapter";
            return nullptr;
        }
        parts.adapters.push_back(adapter);
        if (spec.peer == VirtualSpec::Peer::kEcho) {
            parts.echoes.push_back(std::make_unique<vserial::EchoDevice>(*adapter));
        } else if (spec.peer == VirtualSpec::Peer::kUnix) {
            auto bridge = UnixPeerBridge::Create(adapter->PeerFd(), spec.socketPath, error);
            if (bridge == nullptr) {
                return nullptr;
            }
            parts.bridges.push_back(std::move(bridge));
        }
    }
    return ports;
}

VirtualPorts::~VirtualPorts() = default;

std::string VirtualPorts::DescribeLine(const std::string& description) const {
    if (mParts == nullptr) {
        return "";
    }
    for (const vserial::Adapter* adapter : mParts->adapters) {
        if (adapter->Description() != description) {
            continue;
        }
        const auto settings = adapter->Settings();
        if (!settings) {
            return "virtual " + adapter->PortName() + ": unplugged";
        }
        int drops = 0;
        for (const vserial::LineEvent& event : adapter->LineEvents()) {
            drops += event.line == vserial::ModemLine::kDtr && !event.level ? 1 : 0;
        }
        return "virtual " + adapter->PortName() + ": " + std::to_string(settings->baud) + " baud " +
               std::to_string(settings->dataBits) + ParityLetter(settings->parity) +
               std::to_string(settings->stopBits) + ", DTR " + (adapter->Dtr() ? "on" : "off") +
               ", RTS " + (adapter->Rts() ? "on" : "off") + ", " + std::to_string(drops) +
               " DTR drop" + (drops == 1 ? "" : "s") + ", flow control " +
               (settings->rtsCts      ? "rts/cts"
                : settings->xonOutput ? "xon/xoff"
                                      : "none");
    }
    return "";
}

std::vector<std::pair<std::string, std::string>> VirtualPorts::Adapters() const {
    std::vector<std::pair<std::string, std::string>> list;
    if (mParts == nullptr) {
        return list;
    }
    for (const vserial::Adapter* adapter : mParts->adapters) {
        list.emplace_back(adapter->PortName(), adapter->Description());
    }
    return list;
}

}  // namespace cpd::host
