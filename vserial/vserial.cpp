// The rig of virtual serial adapters: pty pairs, their sysfs tree, pacing and echo threads.
#include "vserial/vserial.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "vserial/interpose.h"

namespace vserial {

namespace fs = std::filesystem;

namespace {

// libserialport reads sysfs texts with fgets into a 128-byte buffer and drops one trailing
// newline, so a text is cut at its first newline or after 127 bytes.
constexpr size_t kSysfsText = 127;

std::string AsFgetsReadsIt(const std::string& text) {
    std::string line = (text + "\n").substr(0, kSysfsText);
    size_t newline = line.find('\n');
    return newline == std::string::npos ? line : line.substr(0, newline);
}

std::string UsbDescription(const std::string& tty, const UsbIdentity& usb) {
    std::string description = usb.product ? AsFgetsReadsIt(*usb.product) : tty;
    if (usb.serial) {
        std::string serial = AsFgetsReadsIt(*usb.serial);
        if (!serial.empty()) {
            description = (description + " - " + serial).substr(0, kSysfsText);
        }
    }
    return description;
}

bool WriteFile(const fs::path& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

std::string Hex4(unsigned value) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", value);
    return buf;
}

// The pty's far side. The slave starts with the settings a usb-serial port has before anyone
// configured it: 9600 baud, 8 bits, no parity, CLOCAL, HUPCL, XON/XOFF output control.
bool OpenLine(int* master, int* slave, std::string* slaveName) {
    int m = ::open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0) {
        std::fprintf(stderr, "vserial: /dev/ptmx: %s\n", std::strerror(errno));
        return false;
    }
    char name[64];
    if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
        std::fprintf(stderr, "vserial: pty setup: %s\n", std::strerror(errno));
        ::close(m);
        return false;
    }
    int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (s < 0 || tcgetattr(s, &t) != 0) {
        std::fprintf(stderr, "vserial: %s: %s\n", name, std::strerror(errno));
        if (s >= 0) {
            ::close(s);
        }
        ::close(m);
        return false;
    }
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS8 | CREAD | HUPCL | CLOCAL;
    t.c_iflag |= IXON;
    cfsetspeed(&t, B9600);
    if (tcsetattr(s, TCSANOW, &t) != 0) {
        std::fprintf(stderr, "vserial: %s settings: %s\n", name, std::strerror(errno));
        ::close(s);
        ::close(m);
        return false;
    }
    *master = m;
    *slave = s;
    *slaveName = name;
    return true;
}

// The device side of a paced adapter: a second pty whose master the device uses and whose slave,
// raw (no echo, no line editing, no flow control) and non-blocking, the pacer writes and reads.
bool OpenDeviceSide(int* deviceMaster, int* deviceSlave) {
    int m = ::open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[64];
    termios t{};
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
        std::fprintf(stderr, "vserial: device pty: %s\n", std::strerror(errno));
        if (m >= 0) {
            ::close(m);
        }
        return false;
    }
    int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (s < 0 || tcgetattr(s, &t) != 0 || (cfmakeraw(&t), tcsetattr(s, TCSANOW, &t)) != 0) {
        std::fprintf(stderr, "vserial: %s: %s\n", name, std::strerror(errno));
        if (s >= 0) {
            ::close(s);
        }
        ::close(m);
        return false;
    }
    *deviceMaster = m;
    *deviceSlave = s;
    return true;
}

int DataBits(unsigned cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

Parity ParityOf(unsigned cflag) {
    if (!(cflag & PARENB)) {
        return Parity::kNone;
    }
    if (cflag & CMSPAR) {
        return (cflag & PARODD) ? Parity::kMark : Parity::kSpace;
    }
    return (cflag & PARODD) ? Parity::kOdd : Parity::kEven;
}

// The interposer's controls, looked up once in the running process; null without an interposer.
const vs_controls* Controls() {
    static const vs_controls* const controls = [] {
        using Get = const vs_controls* (*)();
        const auto get = reinterpret_cast<Get>(::dlsym(RTLD_DEFAULT, VS_CONTROLS_SYMBOL));
        return get != nullptr ? get() : nullptr;
    }();
    return controls;
}

}  // namespace

// ---- LinePacer ----------------------------------------------------------------------------------

// Sits on the wire of a paced adapter: carries the bytes between the line's far end (the pty
// master) and the device side (a second pty, raw, whose master is the adapter's PeerFd), each
// direction no faster than the port's settings allow. A chunk of bytes is read when the wire is
// free and handed on once its time on the wire has passed. The thread is woken through an eventfd
// and joined by the destructor.
class LinePacer {
  public:
    // Owns deviceFd (the second pty's slave); lineFd stays the adapter's.
    static std::unique_ptr<LinePacer> Start(int id, int lineFd, int deviceFd) {
        std::unique_ptr<LinePacer> pacer(new LinePacer(id, lineFd, deviceFd));
        if (pacer->mWakeFd < 0) {
            std::fprintf(stderr, "vserial: eventfd: %s\n", std::strerror(errno));
            return nullptr;
        }
        pacer->mThread = std::thread([p = pacer.get()] { p->run(); });
        return pacer;
    }
    ~LinePacer() {
        if (mThread.joinable()) {
            uint64_t one = 1;
            while (::write(mWakeFd, &one, sizeof one) < 0 && errno == EINTR) {
            }
            mThread.join();
        }
        for (int fd : {mWakeFd, mDirections[1].from}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    LinePacer(const LinePacer&) = delete;
    LinePacer& operator=(const LinePacer&) = delete;

  private:
    using Clock = std::chrono::steady_clock;

    struct Direction {
        int from = -1;
        int to = -1;
        bool dead = false;  // an end failed: the direction stops, the other goes on
        size_t len = 0;     // bytes of the chunk on the wire, sent from `off` on
        size_t off = 0;
        Clock::time_point due{};       // when the chunk has crossed the wire
        Clock::time_point wireFree{};  // when the wire is free for the next chunk
        char buf[4096];
    };

    LinePacer(int id, int lineFd, int deviceFd)
        : mId(id), mWakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        mDirections[0].from = lineFd;  // what the port wrote, to the device
        mDirections[0].to = deviceFd;
        mDirections[1].from = deviceFd;  // what the device wrote, to the port
        mDirections[1].to = lineFd;
    }

    // Bits one byte takes on the wire, and the baud rate, as the port last set them.
    void lineTiming(int* bitsPerByte, int* baud) {
        struct vs_line line {};
        if (Controls()->line(mId, &line) == 0) {
            mBits = 1 + DataBits(line.cflag) + ((line.cflag & PARENB) ? 1 : 0) +
                    ((line.cflag & CSTOPB) ? 2 : 1);
            // At 0 baud (hang-up) a real line carries nothing; the slowest rate stands in.
            mBaud = std::max(50, static_cast<int>(line.baud));
        }
        *bitsPerByte = mBits;
        *baud = mBaud;
    }

    void take(Direction& d) {
        int bits = 0;
        int baud = 0;
        lineTiming(&bits, &baud);
        // About 10 ms of the line per chunk: fine enough for the pace, few enough wake-ups.
        const size_t chunk =
            std::clamp<size_t>(static_cast<size_t>(baud / bits / 100), 1, sizeof d.buf);
        const ssize_t n = ::read(d.from, d.buf, chunk);
        if (n > 0) {
            const auto start = std::max(Clock::now(), d.wireFree);
            d.len = static_cast<size_t>(n);
            d.off = 0;
            d.due = start +
                    std::chrono::nanoseconds(static_cast<int64_t>(n) * bits * 1000000000LL / baud);
            d.wireFree = d.due;
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            d.dead = true;
        }
    }

    void give(Direction& d) {
        const ssize_t n = ::write(d.to, d.buf + d.off, d.len - d.off);
        if (n > 0) {
            d.off += static_cast<size_t>(n);
            d.len = d.off == d.len ? 0 : d.len;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            d.dead = true;
        }
    }

    void run() {
        for (Direction& d : mDirections) {
            ::fcntl(d.from, F_SETFL, ::fcntl(d.from, F_GETFL) | O_NONBLOCK);
        }
        for (;;) {
            const auto now = Clock::now();
            pollfd fds[3] = {{-1, 0, 0}, {-1, 0, 0}, {mWakeFd, POLLIN, 0}};
            int timeoutMs = -1;
            for (int i = 0; i < 2; ++i) {
                Direction& d = mDirections[i];
                if (d.dead) {
                    continue;
                }
                if (d.len == 0) {
                    fds[i] = {d.from, POLLIN, 0};
                } else if (now >= d.due) {
                    fds[i] = {d.to, POLLOUT, 0};
                } else {
                    const auto wait =
                        std::chrono::ceil<std::chrono::milliseconds>(d.due - now).count();
                    timeoutMs = timeoutMs < 0 ? static_cast<int>(wait)
                                              : std::min(timeoutMs, static_cast<int>(wait));
                }
            }
            if (::poll(fds, 3, timeoutMs) < 0 && errno != EINTR) {
                return;
            }
            if (fds[2].revents != 0) {
                return;
            }
            for (int i = 0; i < 2; ++i) {
                Direction& d = mDirections[i];
                if (fds[i].fd < 0 || fds[i].revents == 0) {
                    continue;
                }
                if (d.len == 0) {
                    take(d);
                } else {
                    give(d);
                }
            }
        }
    }

    const int mId;
    const int mWakeFd;
    int mBits = 10;  // pacing thread only, like everything below
    int mBaud = 9600;
    Direction mDirections[2];
    std::thread mThread;
};

// ---- Adapter ------------------------------------------------------------------------------------

Adapter::~Adapter() {
    mPacer.reset();
    for (int fd : {mMasterFd, mPeerFd != mMasterFd ? mPeerFd : -1, mSlaveFd}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

std::optional<LineSettings> Adapter::Settings() const {
    struct vs_line line {};
    if (Controls()->line(mId, &line) != 0) {
        return std::nullopt;
    }
    LineSettings s;
    s.baud = static_cast<int>(line.baud);
    s.dataBits = DataBits(line.cflag);
    s.parity = ParityOf(line.cflag);
    s.stopBits = (line.cflag & CSTOPB) ? 2 : 1;
    s.xonOutput = (line.iflag & IXON) != 0;
    s.xonInput = (line.iflag & IXOFF) != 0;
    s.rtsCts = (line.cflag & CRTSCTS) != 0;
    return s;
}

bool Adapter::Dtr() const {
    return (Controls()->modem(mId) & TIOCM_DTR) != 0;
}

bool Adapter::Rts() const {
    return (Controls()->modem(mId) & TIOCM_RTS) != 0;
}

std::vector<LineEvent> Adapter::LineEvents() const {
    struct vs_event raw[256];
    int n = Controls()->events(mId, raw, 256);
    std::vector<LineEvent> events;
    for (int i = 0; i < n; ++i) {
        events.push_back(
            {raw[i].line == VS_LINE_DTR ? ModemLine::kDtr : ModemLine::kRts, raw[i].level != 0});
    }
    return events;
}

int Adapter::OpenCount() const {
    return Controls()->open_count(mId);
}

void Adapter::RefuseOpen(int err) {
    Controls()->refuse_open(mId, err);
}

void Adapter::RefuseSettings(bool refuse) {
    Controls()->refuse_settings(mId, refuse ? 1 : 0);
}

void Adapter::Unplug() {
    if (!mPlugged) {
        return;
    }
    mPlugged = false;
    if (mEcho != nullptr) {
        mEcho->stop();
    }
    Controls()->unplug(mId);
    std::error_code ec;
    fs::remove(mSysfsLink, ec);
    fs::remove_all(mSysfsDevice, ec);
    // Releasing the master hangs the slave up, as the tty layer does when a USB adapter goes away.
    // /dev/null takes the peer's descriptor number so PeerFd stays valid and reads EOF.
    mPacer.reset();
    if (mPeerFd != mMasterFd) {
        ::close(mMasterFd);
        mMasterFd = -1;
    }
    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup3(null, mPeerFd, O_CLOEXEC);
        ::close(null);
    } else {
        ::close(mPeerFd);
        mPeerFd = -1;
    }
    mMasterFd = mMasterFd >= 0 ? mPeerFd : -1;
    ::close(mSlaveFd);
    mSlaveFd = -1;
}

// ---- Rig ----------------------------------------------------------------------------------------

std::unique_ptr<Rig> Rig::Create() {
    if (Controls() == nullptr) {
        std::fprintf(stderr,
                     "vserial: no interposer in this process; link the executable with "
                     "vserial_interposed or preload libvserial_preload.so\n");
        return nullptr;
    }
    if (const char* missing = Controls()->unlinked_symbol()) {
        std::fprintf(stderr, "vserial: %s is not interposed\n", missing);
        return nullptr;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vserial-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "vserial: mkdtemp %s: %s\n", pattern.c_str(), std::strerror(errno));
        return nullptr;
    }
    std::unique_ptr<Rig> rig(new Rig());
    rig->mRoot = pattern;
    // A few virtual ttys, as on every machine; libserialport skips them.
    std::error_code ec;
    fs::path sys = fs::path(pattern) / "sys";
    fs::create_directories(sys / "class/tty", ec);
    for (const char* name : {"console", "tty", "ptmx"}) {
        fs::create_directories(sys / "devices/virtual/tty" / name, ec);
        fs::create_symlink(fs::path("../../devices/virtual/tty") / name, sys / "class/tty" / name,
                           ec);
    }
    if (ec) {
        std::fprintf(stderr, "vserial: tree %s: %s\n", pattern.c_str(), ec.message().c_str());
        fs::remove_all(pattern, ec);
        return nullptr;
    }
    if (Controls()->activate(pattern.c_str()) != 0) {
        std::fprintf(stderr, "vserial: another Rig is active\n");
        fs::remove_all(pattern, ec);
        return nullptr;
    }
    return rig;
}

Rig::~Rig() {
    // Their threads end while the ports they serve still exist.
    for (auto& adapter : mAdapters) {
        if (adapter->mEcho != nullptr) {
            adapter->mEcho->stop();
        }
        adapter->mPacer.reset();
    }
    Controls()->deactivate();
    mAdapters.clear();
    std::error_code ec;
    fs::remove_all(mRoot, ec);
}

Adapter* Rig::AddUsbAdapter(const UsbIdentity& identity, Pacing pacing) {
    int n = mUsbCount;
    std::string tty = "ttyUSB" + std::to_string(n);
    std::string usbDev = "1-" + std::to_string(n + 1);
    std::string usbDir = "devices/pci0000:00/0000:00:14.0/usb1/" + usbDev;
    std::string target = usbDir + "/" + usbDev + ":1.0/" + tty + "/tty/" + tty;
    Adapter* adapter = addAdapter(tty, target, usbDir, &identity, pacing);
    if (adapter != nullptr) {
        ++mUsbCount;
    }
    return adapter;
}

Adapter* Rig::AddOnboardUart() {
    int n = mUartCount;
    std::string tty = "ttyAMA" + std::to_string(n);
    std::string platformDir = "devices/platform/soc/fe20" + std::to_string(n + 1) + "000.serial";
    Adapter* adapter =
        addAdapter(tty, platformDir + "/tty/" + tty, platformDir, nullptr, Pacing::kNone);
    if (adapter != nullptr) {
        ++mUartCount;
    }
    return adapter;
}

// Lays out sys/<target> (the tty's class directory, whose `device` link points at the port's
// parent three levels up, as usb-serial and platform UARTs have it), the class link
// sys/class/tty/<tty> -> ../../<target>, and for USB the identity files in sys/<deviceDir>,
// which libserialport finds by walking up from `device`.
Adapter* Rig::addAdapter(const std::string& tty, const std::string& target,
                         const std::string& deviceDir, const UsbIdentity* usb, Pacing pacing) {
    std::unique_ptr<Adapter> adapter(new Adapter());
    fs::path sys = fs::path(mRoot) / "sys";
    std::error_code ec;
    fs::create_directories(sys / target, ec);
    fs::create_symlink("../../../" + tty, sys / target / "device", ec);
    fs::create_symlink("../../" + target, sys / "class/tty" / tty, ec);
    bool ok = !ec;
    if (ok && usb != nullptr) {
        fs::path dir = sys / deviceDir;
        ok = WriteFile(dir / "busnum", "1\n") &&
             WriteFile(dir / "devnum", std::to_string(mUsbCount + 2) + "\n") &&
             WriteFile(dir / "idVendor", Hex4(usb->vid) + "\n") &&
             WriteFile(dir / "idProduct", Hex4(usb->pid) + "\n");
        for (auto [name, text] :
             {std::pair{"manufacturer", &usb->manufacturer}, std::pair{"product", &usb->product},
              std::pair{"serial", &usb->serial}}) {
            if (ok && text->has_value()) {
                ok = WriteFile(dir / name, **text + "\n");
            }
        }
    }
    adapter->mPortName = "/dev/" + tty;
    adapter->mDescription = usb != nullptr ? UsbDescription(tty, *usb) : tty;
    adapter->mSysfsLink = (sys / "class/tty" / tty).string();
    adapter->mSysfsDevice = (sys / deviceDir).string();
    std::string slaveName;
    if (!ok || !OpenLine(&adapter->mMasterFd, &adapter->mSlaveFd, &slaveName)) {
        std::fprintf(stderr, "vserial: cannot add %s\n", tty.c_str());
        fs::remove(adapter->mSysfsLink, ec);
        fs::remove_all(adapter->mSysfsDevice, ec);
        return nullptr;
    }
    adapter->mPeerFd = adapter->mMasterFd;
    adapter->mId =
        Controls()->add(adapter->mPortName.c_str(), slaveName.c_str(), adapter->mSlaveFd);
    if (adapter->mId < 0) {
        std::fprintf(stderr, "vserial: too many adapters\n");
        fs::remove(adapter->mSysfsLink, ec);
        fs::remove_all(adapter->mSysfsDevice, ec);
        return nullptr;
    }
    if (pacing == Pacing::kLineRate) {
        int deviceMaster = -1;
        int deviceSlave = -1;
        if (OpenDeviceSide(&deviceMaster, &deviceSlave)) {
            adapter->mPacer = LinePacer::Start(adapter->mId, adapter->mMasterFd, deviceSlave);
        }
        if (adapter->mPacer == nullptr) {
            std::fprintf(stderr, "vserial: cannot pace %s\n", tty.c_str());
            if (deviceMaster >= 0) {
                ::close(deviceMaster);
            }
            Controls()->unplug(adapter->mId);  // the slot stays taken, but nothing finds the port
            fs::remove(adapter->mSysfsLink, ec);
            fs::remove_all(adapter->mSysfsDevice, ec);
            return nullptr;
        }
        adapter->mPeerFd = deviceMaster;
    }
    mAdapters.push_back(std::move(adapter));
    return mAdapters.back().get();
}

std::vector<std::string> Rig::RealTtyAccesses() {
    std::vector<std::string> paths;
    char buf[256];
    for (int i = 0; Controls() != nullptr && Controls()->access_at(i, buf, sizeof buf) == 0; ++i) {
        paths.emplace_back(buf);
    }
    return paths;
}

// ---- EchoDevice ---------------------------------------------------------------------------------

EchoDevice::EchoDevice(Adapter& adapter) : mAdapter(adapter) {
    if (!adapter.Plugged() || adapter.mEcho != nullptr) {
        return;
    }
    mWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (mWakeFd < 0) {
        std::fprintf(stderr, "vserial: eventfd: %s\n", std::strerror(errno));
        return;
    }
    // Non-blocking so a peer that stops reading can never wedge the thread inside write().
    mSavedFlags = ::fcntl(adapter.mPeerFd, F_GETFL);
    ::fcntl(adapter.mPeerFd, F_SETFL, mSavedFlags | O_NONBLOCK);
    adapter.mEcho = this;
    mThread = std::thread([this] { run(); });
}

EchoDevice::~EchoDevice() {
    stop();
}

void EchoDevice::stop() {
    if (mThread.joinable()) {
        uint64_t one = 1;
        while (::write(mWakeFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
        mThread.join();
        ::fcntl(mAdapter.mPeerFd, F_SETFL, mSavedFlags);
        mAdapter.mEcho = nullptr;
    }
    if (mWakeFd >= 0) {
        ::close(mWakeFd);
        mWakeFd = -1;
    }
}

void EchoDevice::run() {
    const int fd = mAdapter.mPeerFd;
    // Waits for `events` on the line; false once stop() asked the thread to end.
    auto wait = [this, fd](short events) {
        pollfd fds[2] = {{fd, events, 0}, {mWakeFd, POLLIN, 0}};
        while (::poll(fds, 2, -1) < 0) {
            if (errno != EINTR) {
                return false;
            }
        }
        return fds[1].revents == 0 && (fds[0].revents & (POLLERR | POLLNVAL)) == 0;
    };
    char buf[4096];
    while (wait(POLLIN)) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(fd, buf + done, static_cast<size_t>(n - done));
            if (w > 0) {
                done += w;
            } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                return;
            } else if (!wait(POLLOUT)) {
                return;
            }
        }
    }
}

}  // namespace vserial
