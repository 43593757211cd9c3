// Virtual serial adapters for tests, the benchmark and the demo: pty-backed ports that the real
// libserialport lists, opens, configures, reads and writes, while the machine's own serial devices
// stay hidden. Works by interposing a few libc entry points (path lookups under /sys/class/tty and
// /dev/tty*, terminal settings and the modem-line ioctls; interpose.c): a test executable links
// them in (vserial_interposed), cpd-host preloads them (libvserial_preload.so) only when it is
// asked for virtual adapters. They stay pure pass-through while no Rig exists.
//
// Threads: Rig and Adapter are driven by one test thread; the interposed calls they emulate may
// come from any thread. A paced adapter runs one thread of its own that carries the bytes.
// Nothing here blocks except joining an echo or pacing thread (EchoDevice's destructor,
// Adapter::Unplug, Rig's destructor). The Rig owns its adapters; an EchoDevice must end before
// its Rig.
//
// Limits against a real adapter: bytes move at memory speed whatever the baud rate unless the
// adapter is paced (Pacing::kLineRate); each direction buffers what a pty does (the port can
// write about 14 KiB before sp_blocking_write blocks on an unread peer; a paced adapter adds a
// second pty's worth); a peer that does not read holds the line back instead of losing bytes;
// data bits, parity and stop bits are recorded and set the pace, not applied to the bytes;
// CRTSCTS is recorded only and the input lines (CTS, DSR, DCD, RI) read low; no break. As on a
// tty, input that the port has not read is dropped when its last user closes it, and bytes that
// arrive while nobody has it open are dropped at the next open. XON/XOFF is the kernel line
// discipline's, as on a real port: with IXON (on by default) a 0x13 from the peer stops the port's
// output until 0x11 and both bytes are swallowed. The device node stats as the pty slave, not a
// ttyUSB character device.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vserial {

enum class Parity { kNone, kOdd, kEven, kMark, kSpace };

// The line settings as the port's user last applied them (not what the pty itself keeps).
struct LineSettings {
    int baud = 0;
    int dataBits = 0;
    Parity parity = Parity::kNone;
    int stopBits = 0;
    bool xonOutput = false;  // IXON: the port obeys XON/XOFF from the peer
    bool xonInput = false;   // IXOFF: the port sends XON/XOFF to the peer
    bool rtsCts = false;     // CRTSCTS
};

enum class ModemLine { kDtr, kRts };

struct LineEvent {
    ModemLine line;
    bool level;
    bool operator==(const LineEvent& o) const { return line == o.line && level == o.level; }
};

struct UsbIdentity {
    uint16_t vid = 0x0403;
    uint16_t pid = 0x6001;
    std::optional<std::string> manufacturer;
    std::optional<std::string> product;  // without it libserialport describes the port by tty name
    std::optional<std::string> serial;   // non-empty: appended as " - <serial>" to the description
};

// kLineRate: bytes take as long as on the wire in both directions: 1 start bit, the data bits,
// the parity bit if any and the stop bits per byte, at the baud rate the port last set.
enum class Pacing { kNone, kLineRate };

class EchoDevice;
class LinePacer;

// One emulated port. Owned by its Rig; pointers stay valid until the Rig is destroyed.
class Adapter {
  public:
    ~Adapter();
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;

    // "/dev/ttyUSB0" and the like, as sp_get_port_name reports it.
    const std::string& PortName() const { return mPortName; }
    // Exactly what sp_get_port_description will report.
    const std::string& Description() const { return mDescription; }
    // The far end of the line (pty master), blocking. Bytes written here arrive at the port;
    // bytes the port writes are read here. After Unplug it reads end-of-file.
    int PeerFd() const { return mPeerFd; }

    // Empty once unplugged.
    std::optional<LineSettings> Settings() const;
    bool Dtr() const;
    bool Rts() const;
    // Every change of DTR or RTS since the adapter was added, oldest first (capped at 256).
    std::vector<LineEvent> LineEvents() const;
    // Descriptors currently open on the port (not counting the adapter's own).
    int OpenCount() const;

    // The next opens fail with this errno (0 accepts opens again).
    void RefuseOpen(int err);
    // While set, every attempt to change the terminal settings fails with EINVAL.
    void RefuseSettings(bool refuse);
    // Emulates pulling the cable: the sysfs entry and the device node vanish, opens fail with
    // ENOENT, descriptors still open are hung up (read returns 0, write and tcsetattr fail with
    // EIO, modem-line ioctls fail with EIO). Stops an attached EchoDevice first. Idempotent.
    void Unplug();
    bool Plugged() const { return mPlugged; }

  private:
    friend class Rig;
    friend class EchoDevice;
    Adapter() = default;

    int mId = -1;  // slot in the interposer's table
    std::string mPortName;
    std::string mDescription;
    std::string mSysfsLink;    // /sys/class/tty/<name> inside the rig's tree
    std::string mSysfsDevice;  // the emulated device's own directory inside the tree
    int mMasterFd = -1;        // the line's far end; the pacer's alone when paced
    int mPeerFd = -1;          // what the device side uses: mMasterFd, or the pacer's second pty
    int mSlaveFd = -1;         // kept open so the line survives while the port is closed
    bool mPlugged = true;
    EchoDevice* mEcho = nullptr;
    std::unique_ptr<LinePacer> mPacer;
};

// Turns the emulation on for the whole process (at most one Rig at a time) and off again,
// removing every adapter and its private sysfs tree. Non-copyable: owns descriptors and a tree.
class Rig {
  public:
    // Empty (with a message on stderr) when another Rig exists, no interposer is in the process
    // or it is not in effect for the shared libraries, or the tree cannot be created.
    static std::unique_ptr<Rig> Create();
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // A USB serial adapter, named /dev/ttyUSB<n>. Null on failure (message on stderr).
    Adapter* AddUsbAdapter(const UsbIdentity& identity, Pacing pacing = Pacing::kNone);
    // An on-board UART, /dev/ttyAMA<n>: listed, described by its tty name, transport not USB.
    Adapter* AddOnboardUart();

    // Paths under /dev/tty or /sys/class/tty that reached the real libc through the interposed
    // calls since the process started, with or without a Rig (first 64 kept). Should stay empty.
    static std::vector<std::string> RealTtyAccesses();

  private:
    Rig() = default;
    Adapter* addAdapter(const std::string& tty, const std::string& target,
                        const std::string& usbDir, const UsbIdentity* usb, Pacing pacing);

    std::string mRoot;
    std::vector<std::unique_ptr<Adapter>> mAdapters;
    int mUsbCount = 0;
    int mUartCount = 0;
};

// A device on the far end that sends back every byte it receives, from its own thread. While it
// runs it owns the adapter's peer fd (switched to non-blocking); the destructor stops and joins
// the thread and restores the fd. Non-copyable: owns a thread.
class EchoDevice {
  public:
    explicit EchoDevice(Adapter& adapter);
    ~EchoDevice();
    EchoDevice(const EchoDevice&) = delete;
    EchoDevice& operator=(const EchoDevice&) = delete;

  private:
    friend class Adapter;
    friend class Rig;
    void stop();
    void run();

    Adapter& mAdapter;
    int mWakeFd = -1;  // eventfd that ends the thread's wait
    int mSavedFlags = 0;
    std::thread mThread;
};

}  // namespace vserial
