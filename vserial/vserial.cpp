#include "vserial/vserial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

// ---- Adapter ------------------------------------------------------------------------------------

Adapter::~Adapter() {
    if (mMasterFd >= 0) {
        ::close(mMasterFd);
    }
    if (mSlaveFd >= 0) {
        ::close(mSlaveFd);
    }
}

std::optional<LineSettings> Adapter::Settings() const {
    struct vs_line line {};
    if (vs_line(mId, &line) != 0) {
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
    return (vs_modem(mId) & TIOCM_DTR) != 0;
}

bool Adapter::Rts() const {
    return (vs_modem(mId) & TIOCM_RTS) != 0;
}

std::vector<LineEvent> Adapter::LineEvents() const {
    struct vs_event raw[256];
    int n = vs_events(mId, raw, 256);
    std::vector<LineEvent> events;
    for (int i = 0; i < n; ++i) {
        events.push_back(
            {raw[i].line == VS_LINE_DTR ? ModemLine::kDtr : ModemLine::kRts, raw[i].level != 0});
    }
    return events;
}

int Adapter::OpenCount() const {
    return vs_open_count(mId);
}

void Adapter::RefuseOpen(int err) {
    vs_refuse_open(mId, err);
}

void Adapter::RefuseSettings(bool refuse) {
    vs_refuse_settings(mId, refuse ? 1 : 0);
}

void Adapter::Unplug() {
    if (!mPlugged) {
        return;
    }
    mPlugged = false;
    if (mEcho != nullptr) {
        mEcho->stop();
    }
    vs_unplug(mId);
    std::error_code ec;
    fs::remove(mSysfsLink, ec);
    fs::remove_all(mSysfsDevice, ec);
    // Releasing the master hangs the slave up, as the tty layer does when a USB adapter goes away.
    // /dev/null takes the master's descriptor number so PeerFd stays valid and reads EOF.
    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup3(null, mMasterFd, O_CLOEXEC);
        ::close(null);
    } else {
        ::close(mMasterFd);
        mMasterFd = -1;
    }
    ::close(mSlaveFd);
    mSlaveFd = -1;
}

// ---- Rig ----------------------------------------------------------------------------------------

std::unique_ptr<Rig> Rig::Create() {
    if (const char* missing = vs_unlinked_symbol()) {
        std::fprintf(stderr, "vserial: %s is not interposed; link the executable with vserial\n",
                     missing);
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
    if (vs_activate(pattern.c_str()) != 0) {
        std::fprintf(stderr, "vserial: another Rig is active\n");
        fs::remove_all(pattern, ec);
        return nullptr;
    }
    return rig;
}

Rig::~Rig() {
    for (auto& adapter : mAdapters) {
        if (adapter->mEcho != nullptr) {
            adapter->mEcho->stop();
        }
    }
    vs_deactivate();
    mAdapters.clear();
    std::error_code ec;
    fs::remove_all(mRoot, ec);
}

Adapter* Rig::AddUsbAdapter(const UsbIdentity& identity) {
    int n = mUsbCount;
    std::string tty = "ttyUSB" + std::to_string(n);
    std::string usbDev = "1-" + std::to_string(n + 1);
    std::string usbDir = "devices/pci0000:00/0000:00:14.0/usb1/" + usbDev;
    std::string target = usbDir + "/" + usbDev + ":1.0/" + tty + "/tty/" + tty;
    Adapter* adapter = addAdapter(tty, target, usbDir, &identity);
    if (adapter != nullptr) {
        ++mUsbCount;
    }
    return adapter;
}

Adapter* Rig::AddOnboardUart() {
    int n = mUartCount;
    std::string tty = "ttyAMA" + std::to_string(n);
    std::string platformDir = "devices/platform/soc/fe20" + std::to_string(n + 1) + "000.serial";
    Adapter* adapter = addAdapter(tty, platformDir + "/tty/" + tty, platformDir, nullptr);
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
                         const std::string& deviceDir, const UsbIdentity* usb) {
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
    adapter->mId = vs_add(adapter->mPortName.c_str(), slaveName.c_str(), adapter->mSlaveFd);
    if (adapter->mId < 0) {
        std::fprintf(stderr, "vserial: too many adapters\n");
        fs::remove(adapter->mSysfsLink, ec);
        fs::remove_all(adapter->mSysfsDevice, ec);
        return nullptr;
    }
    mAdapters.push_back(std::move(adapter));
    return mAdapters.back().get();
}

std::vector<std::string> Rig::RealTtyAccesses() {
    std::vector<std::string> paths;
    char buf[256];
    for (int i = 0; vs_access(i, buf, sizeof buf) == 0; ++i) {
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
    mSavedFlags = ::fcntl(adapter.mMasterFd, F_GETFL);
    ::fcntl(adapter.mMasterFd, F_SETFL, mSavedFlags | O_NONBLOCK);
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
        ::fcntl(mAdapter.mMasterFd, F_SETFL, mSavedFlags);
        mAdapter.mEcho = nullptr;
    }
    if (mWakeFd >= 0) {
        ::close(mWakeFd);
        mWakeFd = -1;
    }
}

void EchoDevice::run() {
    const int fd = mAdapter.mMasterFd;
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
