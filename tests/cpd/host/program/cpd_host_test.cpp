// cpd-host as its users run it: the real binary in a child process, the real plug-in loaded by
// path, virtual adapters whose far end the test plays through a unix socket, and the remote side
// over loopback TCP. Every wait is bounded; no test depends on how long anything takes.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

#include "cpd/host/program/tcp_channel.h"
#include "subprocess.h"

namespace cpd::host::test {
namespace {

using namespace std::chrono_literals;

const std::string kHost = CPD_HOST_BINARY;

// A connected stream socket with bounded reads. Non-copyable: owns the descriptor.
class Stream {
  public:
    explicit Stream(int fd) : mFd(fd) {}
    ~Stream() { ::close(mFd); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    bool Valid() const { return mFd >= 0; }
    bool Send(const std::string& bytes) { return SendAll(mFd, bytes.data(), bytes.size()) == 0; }
    // Reads until the received text holds `needle`, the peer closes, or the hang guard passes.
    std::string ReadUntil(const std::string& needle) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (got.find(needle) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd fd{mFd, POLLIN, 0};
            if (::poll(&fd, 1, 100) != 1) {
                continue;
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
    bool WaitForClose() {
        ReadUntil(std::string("\0never\0", 7));
        return mPeerClosed;
    }

  private:
    int mFd;
    bool mPeerClosed = false;
};

// The device end of a virtual adapter: cpd-host creates the socket, so connect until it exists.
int ConnectUnix(const std::string& path) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
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

// A connection to a loopback port (-1 if nobody listens there).
int ConnectLoopback(uint16_t port) {
    std::string error;
    return ConnectTcp({"127.0.0.1", port}, &error);
}

// Passes when `text` holds `needle`; a failure shows both.
::testing::AssertionResult Has(const std::string& text, const std::string& needle) {
    if (text.find(needle) != std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no \"" << needle << "\" in:\n" << text;
}

// A frame header for the served device (devId 7) in this host's order, for hand-made frames.
std::string Header(uint8_t magic, uint16_t cmd, uint32_t length) {
    uint8_t bytes[16] = {magic, 7};
    std::memcpy(bytes + 2, &cmd, 2);
    std::memcpy(bytes + 8, &length, 4);
    return std::string(reinterpret_cast<char*>(bytes), sizeof(bytes));
}

// A scratch directory for the adapters' device sockets, removed afterwards.
class WithTempDir : public ::testing::Test {
  protected:
    WithTempDir() {
        char pattern[] = "/tmp/cpd-host-test-XXXXXX";
        mDir = ::mkdtemp(pattern) != nullptr ? pattern : "";
    }
    ~WithTempDir() override {
        std::error_code ec;
        std::filesystem::remove_all(mDir, ec);
    }
    std::string Socket() const { return mDir + "/device.sock"; }

    std::string mDir;
};

TEST(DemoCommand, RunsASessionOnAVirtualAdapterAndEveryByteComesBack) {
    Subprocess demo({kHost, "demo"});
    EXPECT_EQ(demo.Wait(), 0) << demo.Stdout() << demo.Stderr();
    EXPECT_TRUE(Has(demo.Stdout(),
                    "demo: PASS: 3 writes, 286 bytes sent, 286 bytes echoed back, "
                    "byte-exact"));
}

TEST(PortsCommand, ListsVirtualAdaptersUnderTheirExactDescriptionsAsTextAndJson) {
    std::vector<std::string> args{kHost, "--virtual",
                                  "product=Quote \"Q\"  Port,serial=J1,peer=none", "--virtual",
                                  "product=Plain,manufacturer=ACME,vid=1a86,pid=7523,peer=none"};
    args.push_back("ports");
    Subprocess ports(args);
    ASSERT_EQ(ports.Wait(), 0) << ports.Stderr();
    // Blanks and quotes are part of the description and are shown as they are.
    EXPECT_TRUE(Has(ports.Stdout(),
                    "\"Quote \\\"Q\\\"  Port - J1\"\n    port: /dev/ttyUSB0   transport: "
                    "usb   vid:pid: 0403:6001   manufacturer: \"cpd-host\"   "
                    "serial: \"J1\"\n"));

    args.push_back("--json");
    Subprocess json(args);
    ASSERT_EQ(json.Wait(), 0) << json.Stderr();
    const std::string out = json.Stdout();
    EXPECT_TRUE(std::regex_match(out, std::regex("\\[\n  \\{[^\n]*\\},\n  \\{[^\n]*\\}\n\\]\n")))
        << out;
    EXPECT_TRUE(Has(out,
                    "{\"description\": \"Quote \\\"Q\\\"  Port - J1\", \"port\": "
                    "\"/dev/ttyUSB0\", \"transport\": \"usb\", \"vid\": 1027, \"pid\": 24577, "
                    "\"manufacturer\": \"cpd-host\", \"serial\": \"J1\"}"));
    EXPECT_TRUE(Has(out,
                    "\"vid\": 6790, \"pid\": 29987, \"manufacturer\": \"ACME\", \"serial\": "
                    "null}"));
}

class TermOnVirtualAdapter : public WithTempDir {
  protected:
    std::string Spec() const { return "product=Test Port,serial=T1,peer=unix:" + Socket(); }
};

TEST_F(TermOnVirtualAdapter, MovesBytesBothWaysWholeAndInOrderWithTheRequestedSettings) {
    std::string input;
    for (int i = 0; input.size() < 100000; ++i) {
        input += "line " + std::to_string(i) + "\n";
    }
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
    ASSERT_TRUE(term.WaitForStderr("remote>plugin START_READ"));
    ASSERT_TRUE(device.Send("from-device\n"));
    EXPECT_TRUE(term.WaitForStdout("from-device\n"));

    // The port buffers little: the device must read while the host writes.
    std::string got;
    std::thread reader([&] { got = device.ReadUntil(input.substr(input.size() - 20)); });
    EXPECT_TRUE(term.Write(input));
    reader.join();
    term.CloseStdin();
    EXPECT_EQ(term.Wait(), 0) << term.Stderr();
    EXPECT_TRUE(got == input) << got.size() << " of " << input.size() << " bytes";

    const std::string err = term.Stderr();
    EXPECT_TRUE(Has(err, "\"Test Port - T1\" via local-serial-redir: 9600 baud"));
    // What the port really runs with after the requests, as the adapter saw them applied.
    EXPECT_TRUE(Has(err,
                    "virtual /dev/ttyUSB0: 57600 baud 7E2, DTR on, RTS on, 1 DTR drop, "
                    "flow control none"));
    EXPECT_TRUE(
        Has(err, "closed: " + std::to_string(input.size()) + " bytes sent, 12 bytes received"));
}

class ServeOverLoopback : public WithTempDir {
  protected:
    void SetUp() override {
        mServer = std::make_unique<Subprocess>(std::vector<std::string>{
            kHost, "--virtual", "product=Net Port,serial=N1,peer=unix:" + Socket(), "--trace",
            "--log", mDir + "/plugin.log", "serve", "--listen", "127.0.0.1:0", "Net Port - N1",
            "--dev-id", "7"});
        ASSERT_TRUE(mServer->WaitForStderr("one remote at a time"));
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
        EXPECT_TRUE(Has(mServer->Stderr(), "cpd-host: stopped"));
    }

    std::string Address() const { return "127.0.0.1:" + std::to_string(mPort); }
    Subprocess Connect(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{kHost, "--trace", "term", "--connect", Address()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return Subprocess(argv);
    }

    // One full remote session through `term --connect`: bytes both ways, clean exit.
    void RoundTrip(const std::string& tag) {
        Subprocess term =
            Connect({"--baud", "38400", "--flow-off", "--read-timeout", "50", "--linger", "300"});
        ASSERT_TRUE(term.WaitForStderr("remote>plugin START_READ"));
        // The server has served everything before START_READ once the driver has it; the trace
        // line comes after the plug-in returned.
        ASSERT_TRUE(mServer->WaitForStderr("remote>plugin START_READ", ++mSessions));
        ASSERT_TRUE(mDevice->Send("device says " + tag + "\n"));
        EXPECT_TRUE(term.WaitForStdout("device says " + tag + "\n"));
        ASSERT_TRUE(term.Write("remote says " + tag + "\n"));
        const std::string heard = mDevice->ReadUntil("remote says " + tag + "\n");
        EXPECT_TRUE(Has(heard, "remote says " + tag + "\n"));
        term.CloseStdin();
        EXPECT_EQ(term.Wait(), 0) << term.Stderr();
        // The remote learned the server's device id from the report and addressed its packets
        // with it (the plug-in drops packets for other ids, so the echo above proves it too).
        EXPECT_TRUE(Has(term.Stderr(), "remote>plugin WRITE devId=7"));
    }

    std::unique_ptr<Subprocess> mServer;
    std::unique_ptr<Stream> mDevice;
    uint16_t mPort = 0;
    size_t mSessions = 0;
};

TEST_F(ServeOverLoopback, ServesRemotesInTurnWithTheirSettingsAndDropsBrokenOnes) {
    RoundTrip("one");
    EXPECT_TRUE(Has(mServer->Stderr(), "virtual /dev/ttyUSB0: 38400 baud"));
    // The device is closed when the remote leaves and opened again for the next one.
    EXPECT_TRUE(mServer->WaitForStderr("closed \"Net Port - N1\" for 127.0.0.1:"));
    {  // leaves in the middle of a frame
        Stream remote(ConnectLoopback(mPort));
        ASSERT_GE(remote.ReadUntil(Header(0x27, 2000, 52).substr(0, 4)).size(), 4u);
        ASSERT_TRUE(remote.Send(Header(0x27, 2010, 100).substr(0, 10)));
    }
    // Each broken remote must be dropped with its reason and leave the server serving.
    EXPECT_TRUE(mServer->WaitForStderr("left in mid-frame (10 bytes of a frame dropped)"));
    for (const std::string& junk :
         {std::string("GET / HTTP/1.1\r\n\r\n"), Header(0x27, 2010, 0x7fffffff)}) {
        Stream remote(ConnectLoopback(mPort));
        ASSERT_TRUE(remote.Send(junk));
        EXPECT_TRUE(remote.WaitForClose());
    }
    EXPECT_TRUE(mServer->WaitForStderr("bad magic 0x47 (expected 0x27); closing the connection"));
    EXPECT_TRUE(mServer->WaitForStderr("frame length 2147483647 outside 16..1048576"));
    RoundTrip("two");
}

TEST_F(ServeOverLoopback, RefusesASecondRemoteWhileOneIsServed) {
    Subprocess first = Connect({"--linger", "300"});
    ASSERT_TRUE(mServer->WaitForStderr("remote>plugin START_READ"));
    Subprocess second = Connect();
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_TRUE(Has(second.Stderr(),
                    "the server closed the connection before its configuration "
                    "report"));
    EXPECT_TRUE(mServer->WaitForStderr("refused remote 127.0.0.1:"));
    first.CloseStdin();
    EXPECT_EQ(first.Wait(), 0) << first.Stderr();
}

// Each class of failure has its own exit code (2 usage, 3 plug-in, 4 port, 5 network) and a
// message naming the problem.
TEST(CommandLineErrors, ExitWithTheProblemsCodeAndNameIt) {
    bool inUse = false;
    std::string error;
    const int holder = ListenTcp({"127.0.0.1", 0}, &inUse, &error);
    const int probe = ListenTcp({"127.0.0.1", 0}, &inUse, &error);
    const uint16_t busy = LocalPort(holder);
    const uint16_t closed = LocalPort(probe);
    ::close(probe);  // a port nobody listens on
    const std::string vs = "product=Virtual UART,serial=VS01,peer=none";
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string message;
    };
    for (const Case& c : std::vector<Case>{
             {{}, 2, "no command given"},
             {{"frobnicate"}, 2, "unknown command \"frobnicate\""},
             {{"demo", "--bogus"}, 2, "unknown option --bogus"},
             {{"term", "X", "--parity", "sometimes"}, 2, "--parity: expected none, odd, even"},
             {{"term", "X", "--baud"}, 2, "--baud needs a value"},
             {{"term", "X", "--read-timeout", "5000"}, 2, "from 1 to 4094"},
             {{"term"}, 2, "term needs either a port description or --connect"},
             {{"ports", "--baud", "9600"}, 2, "--baud does not apply to this command"},
             {{"serve", "X"}, 2, "serve needs --listen"},
             {{"--virtual", "colour=red", "ports"}, 2, "unknown key \"colour\""},
             {{"--log", "/nonexistent/dir/log", "ports"}, 2, "--log: cannot open"},
             {{"--plugin", "/nonexistent/libnothing.so", "demo"}, 3, "plug-in not found"},
             {{"--plugin", CPD_HOST_NOT_A_PLUGIN, "demo"}, 3, "no CPD_DRV_MODULE"},
             {{"--virtual", vs, "term", "virtual uart -  VS01"},
              4,
              "did you mean \"Virtual UART - VS01\"? The description must match exactly"},
             {{"--virtual", vs, "serve", "--listen", "127.0.0.1:" + std::to_string(busy),
               "Virtual UART - VS01"},
              5,
              "Address already in use"},
             {{"term", "--connect", "127.0.0.1:" + std::to_string(closed)},
              5,
              "cannot connect to 127.0.0.1:" + std::to_string(closed)},
         }) {
        std::vector<std::string> argv{kHost};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Subprocess run(argv);
        EXPECT_EQ(run.Wait(), c.code) << c.message << ": " << run.Stderr();
        EXPECT_TRUE(Has(run.Stderr(), c.message));
    }
    ::close(holder);
}

}  // namespace
}  // namespace cpd::host::test
