// cpd-host as its users run it: the real binary in a child process, the real plug-in loaded by
// path, virtual adapters whose far end the test plays through a unix socket, and the remote side
// over loopback TCP. Every wait is bounded; no test depends on how long anything takes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <thread>

#include "subprocess.h"

namespace cpd::host::test {
namespace {

using namespace std::chrono_literals;

const std::string kHost = CPD_HOST_BINARY;

// ---- helpers -------------------------------------------------------------------------------

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/cpd-host-test-XXXXXX";
        if (::mkdtemp(pattern) != nullptr) {
            mPath = pattern;
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(mPath, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return mPath; }

  private:
    std::string mPath;
};

// A connected stream socket with bounded reads. Non-copyable: owns the descriptor.
class Stream {
  public:
    explicit Stream(int fd = -1) : mFd(fd) {}
    ~Stream() { Close(); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    bool Valid() const { return mFd >= 0; }
    void Close() {
        if (mFd >= 0) {
            ::close(mFd);
            mFd = -1;
        }
    }
    bool Send(const std::string& bytes) {
        return ::send(mFd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Reads until the received text holds `needle`, the peer closes, or the timeout passes.
    std::string ReadUntil(const std::string& needle, std::chrono::milliseconds timeout = 20s) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (got.find(needle) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd fd{mFd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            char buffer[4096];
            const ssize_t n = ::recv(mFd, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                mPeerClosed = true;
                break;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }
    // True once the peer has closed (reading and discarding what comes before).
    bool WaitForClose(std::chrono::milliseconds timeout = 20s) {
        ReadUntil(std::string("\0never\0", 7), timeout);
        return mPeerClosed;
    }
    int Fd() const { return mFd; }

  private:
    int mFd;
    bool mPeerClosed = false;
};

// The device end of a virtual adapter: cpd-host creates the socket, so connect until it exists.
int ConnectUnix(const std::string& path, std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            return fd;
        }
        ::close(fd);
        std::this_thread::sleep_for(20ms);
    }
    return -1;
}

int ConnectTcp(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A loopback TCP socket bound to a port the kernel picked; listening if asked.
int BindLoopback(bool listen, uint16_t* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    if (listen) {
        ::listen(fd, 1);
    }
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    *port = ntohs(address.sin_port);
    return fd;
}

// A frame header in this host's order, for hand-made frames.
std::string Header(uint8_t magic, uint16_t cmd, uint32_t length) {
    uint8_t bytes[16] = {};
    bytes[0] = magic;
    bytes[1] = 1;
    std::memcpy(bytes + 2, &cmd, 2);
    std::memcpy(bytes + 8, &length, 4);
    return std::string(reinterpret_cast<char*>(bytes), sizeof(bytes));
}

// Just enough JSON for `ports --json`: an array of flat objects of strings, numbers and null.
using JsonObject = std::map<std::string, std::optional<std::string>>;

bool ParseJsonPorts(const std::string& text, std::vector<JsonObject>* out) {
    size_t i = 0;
    auto skip = [&] {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) != 0) {
            ++i;
        }
    };
    auto expect = [&](char c) {
        skip();
        return i < text.size() && text[i++] == c;
    };
    auto string = [&](std::string* s) {
        if (!expect('"')) {
            return false;
        }
        for (; i < text.size() && text[i] != '"'; ++i) {
            if (text[i] == '\\' && ++i < text.size()) {
                const char e = text[i];
                *s += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
                continue;
            }
            *s += text[i];
        }
        return i++ < text.size();
    };
    if (!expect('[')) {
        return false;
    }
    skip();
    if (i < text.size() && text[i] == ']') {
        ++i;
    } else {
        do {
            JsonObject object;
            if (!expect('{')) {
                return false;
            }
            do {
                std::string key;
                if (!string(&key) || !expect(':')) {
                    return false;
                }
                skip();
                if (text.compare(i, 4, "null") == 0) {
                    object[key] = std::nullopt;
                    i += 4;
                } else if (i < text.size() && text[i] == '"') {
                    std::string value;
                    if (!string(&value)) {
                        return false;
                    }
                    object[key] = value;
                } else {
                    const size_t start = i;
                    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
                        ++i;
                    }
                    if (i == start) {
                        return false;
                    }
                    object[key] = text.substr(start, i - start);
                }
                skip();
            } while (i < text.size() && text[i] == ',' && ++i);
            if (!expect('}')) {
                return false;
            }
            out->push_back(object);
            skip();
        } while (i < text.size() && text[i] == ',' && ++i);
        if (!expect(']')) {
            return false;
        }
    }
    skip();
    return i == text.size();
}

// ---- demo ----------------------------------------------------------------------------------

TEST(DemoCommand, RunsASessionOnAVirtualAdapterAndEveryByteComesBack) {
    Subprocess demo({kHost, "demo"});
    ASSERT_TRUE(demo.Started());
    EXPECT_EQ(demo.Wait(), 0) << demo.Stdout() << demo.Stderr();
    const std::string out = demo.Stdout();
    EXPECT_NE(out.find("plugin>remote REDIR_CONFIG devId=1 seq=1 len=52 baudrate="),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("DRIVER_SET_BAUD_RATE_TO_USER baud=115200"), std::string::npos);
    // How the echo is cut into reads depends on timing; that it comes back whole does not.
    EXPECT_NE(out.find("plugin>remote READ_DATA devId=1 seq=2 len="), std::string::npos) << out;
    EXPECT_NE(out.find("demo: PASS: 3 writes, 286 bytes sent, 286 bytes echoed back, byte-exact"),
              std::string::npos)
        << out;
}

// ---- ports ---------------------------------------------------------------------------------

TEST(PortsCommand, ListsVirtualAdaptersUnderTheirExactDescriptions) {
    Subprocess ports({kHost, "--virtual", "product=Virtual UART,serial=VS01", "--virtual",
                      "product=Sensor  Bridge,manufacturer=ACME,vid=1a86,pid=7523,peer=none",
                      "ports"});
    ASSERT_EQ(ports.Wait(), 0) << ports.Stderr();
    const std::string out = ports.Stdout();
    EXPECT_NE(out.find("\"Virtual UART - VS01\"\n    port: /dev/ttyUSB0   transport: usb   "
                       "vid:pid: 0403:6001   manufacturer: \"cpd-host\"   serial: \"VS01\"\n"),
              std::string::npos)
        << out;
    // Blanks are part of the description and are shown as they are.
    EXPECT_NE(out.find("\"Sensor  Bridge\"\n    port: /dev/ttyUSB1   transport: usb   vid:pid: "
                       "1a86:7523   manufacturer: \"ACME\"\n"),
              std::string::npos)
        << out;
}

TEST(PortsCommand, JsonOutputParsesAndCarriesTheSameFields) {
    Subprocess ports({kHost, "ports", "--json", "--virtual",
                      "product=Quote \"Q\" Port,serial=J1,peer=none", "--virtual",
                      "product=Plain,peer=none"});
    ASSERT_EQ(ports.Wait(), 0) << ports.Stderr();
    std::vector<JsonObject> list;
    ASSERT_TRUE(ParseJsonPorts(ports.Stdout(), &list)) << ports.Stdout();
    ASSERT_EQ(list.size(), 2u);
    std::map<std::string, JsonObject> byPort;
    for (const JsonObject& port : list) {
        byPort[*port.at("port")] = port;
    }
    const JsonObject& first = byPort.at("/dev/ttyUSB0");
    EXPECT_EQ(first.at("description"), "Quote \"Q\" Port - J1");
    EXPECT_EQ(first.at("transport"), "usb");
    EXPECT_EQ(first.at("vid"), "1027");
    EXPECT_EQ(first.at("pid"), "24577");
    EXPECT_EQ(first.at("serial"), "J1");
    EXPECT_EQ(byPort.at("/dev/ttyUSB1").at("serial"), std::nullopt);
}

// ---- term on a local port ------------------------------------------------------------------

class TermOnVirtualAdapter : public ::testing::Test {
  protected:
    std::string Socket() const { return mDir.Path() + "/device.sock"; }
    std::string Spec() const { return "product=Test Port,serial=T1,peer=unix:" + Socket(); }

    TempDir mDir;
};

TEST_F(TermOnVirtualAdapter, MovesBytesBothWaysAndAppliesTheRequestedSettings) {
    Subprocess term({kHost,
                     "--virtual",
                     Spec(),
                     "--trace",
                     "term",
                     "Test Port - T1",
                     "--baud",
                     "57600",
                     "--data-bits",
                     "7",
                     "--parity",
                     "even",
                     "--stop-bits",
                     "2",
                     "--flow-off",
                     "--dtr-pulse",
                     "--read-timeout",
                     "50",
                     "--linger",
                     "300"});
    Stream device(ConnectUnix(Socket()));
    ASSERT_TRUE(device.Valid());
    ASSERT_TRUE(term.WaitForStderr("remote>plugin START_READ")) << term.Stderr();

    ASSERT_TRUE(device.Send("from-device\n"));
    EXPECT_TRUE(term.WaitForStdout("from-device\n")) << term.Stderr();
    ASSERT_TRUE(term.Write("to-device\n"));
    EXPECT_EQ(device.ReadUntil("to-device\n"), "to-device\n");
    term.CloseStdin();
    EXPECT_EQ(term.Wait(), 0) << term.Stderr();

    const std::string err = term.Stderr();
    EXPECT_NE(err.find("\"Test Port - T1\" via local-serial-redir: 9600 baud"), std::string::npos)
        << err;
    EXPECT_NE(err.find("DRIVER_SET_LINE_CONTROL_TO_USER stop_bits=2 parity=even word_length=7"),
              std::string::npos)
        << err;
    // What the port really runs with after the requests, as the adapter saw them applied.
    EXPECT_NE(err.find("virtual /dev/ttyUSB0: 57600 baud 7E2, DTR on, RTS on, 1 DTR drop, "
                       "flow control none"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("closed: 10 bytes sent, 12 bytes received"), std::string::npos) << err;
}

TEST_F(TermOnVirtualAdapter, LargePipedInputArrivesWholeAndInOrder) {
    std::string input;
    for (int i = 0; input.size() < 100000; ++i) {
        input += "line " + std::to_string(i) + "\n";
    }
    Subprocess term(
        {kHost, "--virtual", Spec(), "term", "Test Port - T1", "--flow-off", "--linger", "300"});
    Stream device(ConnectUnix(Socket()));
    ASSERT_TRUE(device.Valid());
    // The port buffers little: the device must read while the host writes.
    std::string got;
    std::thread reader([&] { got = device.ReadUntil(input.substr(input.size() - 20)); });
    EXPECT_TRUE(term.Write(input));
    reader.join();
    term.CloseStdin();
    EXPECT_EQ(term.Wait(), 0) << term.Stderr();
    EXPECT_TRUE(got == input) << got.size() << " of " << input.size() << " bytes";
}

// ---- serve and term --connect ----------------------------------------------------------------

class ServeOverLoopback : public ::testing::Test {
  protected:
    void SetUp() override {
        mServer = std::make_unique<Subprocess>(std::vector<std::string>{
            kHost, "--virtual", "product=Net Port,serial=N1,peer=unix:" + Socket(), "--trace",
            "--log", mDir.Path() + "/plugin.log", "serve", "--listen", "127.0.0.1:0",
            "Net Port - N1", "--dev-id", "7"});
        ASSERT_TRUE(mServer->WaitForStderr("one remote at a time")) << mServer->Stderr();
        std::smatch match;
        const std::string err = mServer->Stderr();
        ASSERT_TRUE(
            std::regex_search(err, match, std::regex("on 127\\.0\\.0\\.1:(\\d+) as devId 7")));
        mPort = static_cast<uint16_t>(std::stoi(match[1]));
        mDevice = std::make_unique<Stream>(ConnectUnix(Socket()));
        ASSERT_TRUE(mDevice->Valid());
    }

    void TearDown() override {
        mServer->Signal(SIGTERM);
        EXPECT_EQ(mServer->Wait(), 0) << mServer->Stderr();
        EXPECT_NE(mServer->Stderr().find("cpd-host: stopped"), std::string::npos);
    }

    std::string Socket() const { return mDir.Path() + "/device.sock"; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(mPort); }

    // One full remote session through `term --connect`: bytes both ways, clean exit.
    void RoundTrip(const std::string& tag) {
        Subprocess term({kHost, "--trace", "term", "--connect", Address(), "--baud", "38400",
                         "--flow-off", "--read-timeout", "50", "--linger", "300"});
        ASSERT_TRUE(term.WaitForStderr("remote>plugin START_READ")) << term.Stderr();
        // The server has served everything before START_READ once the driver has it; the trace
        // line comes after the plug-in returned.
        ASSERT_TRUE(mServer->WaitForStderr("remote>plugin START_READ", 20s, ++mSessions))
            << mServer->Stderr();
        ASSERT_TRUE(mDevice->Send("device says " + tag + "\n"));
        EXPECT_TRUE(term.WaitForStdout("device says " + tag + "\n")) << term.Stderr();
        ASSERT_TRUE(term.Write("remote says " + tag + "\n"));
        const std::string heard = mDevice->ReadUntil("remote says " + tag + "\n");
        EXPECT_NE(heard.find("remote says " + tag + "\n"), std::string::npos) << heard;
        term.CloseStdin();
        EXPECT_EQ(term.Wait(), 0) << term.Stderr();
        // The remote learned the server's device id from the report and addressed its packets
        // with it (the plug-in drops packets for other ids, so the echo above proves it too).
        EXPECT_NE(term.Stderr().find("plugin>remote REDIR_CONFIG devId=7"), std::string::npos);
        EXPECT_NE(term.Stderr().find("remote>plugin WRITE devId=7"), std::string::npos);
    }

    TempDir mDir;
    std::unique_ptr<Subprocess> mServer;
    std::unique_ptr<Stream> mDevice;
    uint16_t mPort = 0;
    size_t mSessions = 0;
};

TEST_F(ServeOverLoopback, ConnectedTermMovesBytesBothWaysWithTheServersSettings) {
    RoundTrip("one");
    EXPECT_NE(mServer->Stderr().find("virtual /dev/ttyUSB0: 38400 baud"), std::string::npos)
        << mServer->Stderr();
    // The device is closed when the remote leaves and opened again for the next one.
    EXPECT_TRUE(mServer->WaitForStderr("closed \"Net Port - N1\" for 127.0.0.1:"));
    RoundTrip("two");
}

TEST_F(ServeOverLoopback, DropsBrokenRemotesAndServesTheNextOne) {
    {  // leaves in the middle of a frame
        Stream remote(ConnectTcp(mPort));
        ASSERT_TRUE(remote.Valid());
        const std::string report = remote.ReadUntil(Header(0x27, 2000, 52).substr(0, 4));
        ASSERT_GE(report.size(), 4u);
        ASSERT_TRUE(remote.Send(Header(0x27, 2010, 100).substr(0, 10)));
        ASSERT_TRUE(mServer->WaitForStderr("cpd-host: remote 127.0.0.1:", 20s, 1));
    }
    EXPECT_TRUE(mServer->WaitForStderr("left in mid-frame (10 bytes of a frame dropped)"))
        << mServer->Stderr();
    {  // not our protocol at all
        Stream remote(ConnectTcp(mPort));
        ASSERT_TRUE(remote.Send("GET / HTTP/1.1\r\n\r\n"));
        EXPECT_TRUE(remote.WaitForClose());
    }
    EXPECT_TRUE(mServer->WaitForStderr("bad magic 0x47 (expected 0x27); closing the connection"))
        << mServer->Stderr();
    {  // a length no packet can have
        Stream remote(ConnectTcp(mPort));
        ASSERT_TRUE(remote.Send(Header(0x27, 2010, 0x7fffffff)));
        EXPECT_TRUE(remote.WaitForClose());
    }
    EXPECT_TRUE(mServer->WaitForStderr("frame length 2147483647 outside 16..1048576"))
        << mServer->Stderr();
    RoundTrip("after");
}

TEST_F(ServeOverLoopback, SurvivesARemoteKilledWhileDataFlows) {
    Subprocess term({kHost, "--trace", "term", "--connect", Address(), "--flow-off"});
    ASSERT_TRUE(term.WaitForStderr("remote>plugin START_READ")) << term.Stderr();
    // More than the socket and pty buffers hold, so the server is mid-send when the remote dies.
    const std::string flood(512 * 1024, 'z');
    std::thread device([&] { mDevice->Send(flood); });
    ASSERT_TRUE(term.WaitForStdout("zzzz")) << term.Stderr();
    term.Signal(SIGKILL);
    term.Wait();
    EXPECT_TRUE(mServer->WaitForStderr("disconnected")) << mServer->Stderr();
    EXPECT_TRUE(mServer->WaitForStderr("waiting for the next remote")) << mServer->Stderr();
    // The next remote gets what is left of the flood first, then the new exchange.
    Subprocess drain({kHost, "term", "--connect", Address(), "--flow-off", "--linger", "300"});
    device.join();
    drain.CloseStdin();
    EXPECT_EQ(drain.Wait(), 0) << drain.Stderr();
    RoundTrip("later");
}

TEST_F(ServeOverLoopback, RefusesASecondRemoteWhileOneIsServed) {
    Subprocess first({kHost, "term", "--connect", Address(), "--linger", "300"});
    ASSERT_TRUE(mServer->WaitForStderr("remote>plugin START_READ")) << mServer->Stderr();
    Subprocess second({kHost, "term", "--connect", Address()});
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_NE(second.Stderr().find("the server closed the connection before its configuration "
                                   "report"),
              std::string::npos)
        << second.Stderr();
    EXPECT_TRUE(mServer->WaitForStderr("refused remote 127.0.0.1:")) << mServer->Stderr();
    first.CloseStdin();
    EXPECT_EQ(first.Wait(), 0) << first.Stderr();
}

// ---- errors --------------------------------------------------------------------------------

struct ErrorCase {
    std::vector<std::string> args;
    int code;
    std::string message;
};

void ExpectError(const ErrorCase& c) {
    std::vector<std::string> argv{kHost};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Subprocess run(argv);
    EXPECT_EQ(run.Wait(), c.code) << c.args.back() << ": " << run.Stderr();
    EXPECT_NE(run.Stderr().find(c.message), std::string::npos)
        << "expected \"" << c.message << "\" in: " << run.Stderr();
}

TEST(CommandLineErrors, BadUsageExitsWithTwoAndNamesTheProblem) {
    const std::string vs = "product=Virtual UART,serial=VS01";
    for (const ErrorCase& c : std::vector<ErrorCase>{
             {{}, 2, "no command given"},
             {{"frobnicate"}, 2, "unknown command \"frobnicate\""},
             {{"demo", "--bogus"}, 2, "unknown option --bogus"},
             {{"term", "X", "--parity", "sometimes"}, 2, "--parity: expected none, odd, even"},
             {{"term", "X", "--stop-bits", "3"},
              2,
              "--stop-bits: expected a whole number from 1 "
              "to 2, got \"3\""},
             {{"term", "X", "--baud"}, 2, "--baud needs a value"},
             {{"term", "X", "--read-timeout", "5000"}, 2, "from 1 to 4094"},
             {{"term"}, 2, "term needs either a port description or --connect"},
             {{"ports", "--baud", "9600"}, 2, "--baud does not apply to this command"},
             {{"serve", "X"}, 2, "serve needs --listen"},
             {{"--virtual", "colour=red", "ports"}, 2, "unknown key \"colour\""},
             {{"--log", "/nonexistent/dir/log", "ports"}, 2, "--log: cannot open"},
         }) {
        ExpectError(c);
    }
}

TEST(CommandLineErrors, PluginProblemsExitWithThree) {
    ExpectError({{"--plugin", "/nonexistent/libnothing.so", "demo"},
                 3,
                 "plug-in not found: /nonexistent/libnothing.so"});
    ExpectError({{"--plugin", CPD_HOST_NOT_A_PLUGIN, "demo"}, 3, "no CPD_DRV_MODULE"});
}

TEST(CommandLineErrors, MissingPortExitsWithFourAndPointsOutTheNearMiss) {
    const std::string vs = "product=Virtual UART,serial=VS01,peer=none";
    ExpectError({{"--virtual", vs, "term", "virtual uart -  VS01"},
                 4,
                 "did you mean \"Virtual UART - VS01\"? The description must match exactly"});
    ExpectError({{"--virtual", vs, "serve", "--listen", "127.0.0.1:0", "CP2102"},
                 4,
                 "no serial port is described as \"CP2102\"\nports found:\n  \"Virtual UART - "
                 "VS01\"  (/dev/ttyUSB0)"});
}

TEST(CommandLineErrors, NetworkProblemsExitWithFive) {
    uint16_t busy = 0;
    const int holder = BindLoopback(true, &busy);
    const std::string vs = "product=Virtual UART,serial=VS01,peer=none";
    ExpectError({{"--virtual", vs, "serve", "--listen", "127.0.0.1:" + std::to_string(busy),
                  "Virtual UART - VS01"},
                 5,
                 "Address already in use"});
    ::close(holder);

    uint16_t closed = 0;
    ::close(BindLoopback(false, &closed));  // a port nobody listens on
    ExpectError({{"term", "--connect", "127.0.0.1:" + std::to_string(closed)},
                 5,
                 "cannot connect to 127.0.0.1:" + std::to_string(closed)});
}

}  // namespace
}  // namespace cpd::host::test
