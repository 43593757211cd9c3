// cpd-host as its users run it: the real binary in a child process, the real plug-in loaded by
// path, virtual adapters whose far end the test plays through a unix socket, and the remote side
// over loopback TCP. Every wait is bounded; no test depends on how long anything takes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

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
    void ShutWrite() { ::shutdown(mFd, SHUT_WR); }
    bool Send(const std::string& bytes) {
        return ::send(mFd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
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

// A loopback TCP socket: connected to `*port` if it is set, else bound to a port the kernel
// picks (stored in `*port`) and listening if asked.
int LoopbackTcp(uint16_t* port, bool listen = false) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(*port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (*port != 0) {
        return ::connect(fd, raw, sizeof(address)) == 0 ? fd : (::close(fd), -1);
    }
    socklen_t size = sizeof(address);
    ::bind(fd, raw, size);
    if (listen) {
        ::listen(fd, 1);
    }
    ::getsockname(fd, raw, &size);
    *port = ntohs(address.sin_port);
    return fd;
}

// `head` followed by the blank-separated words of `tail`.
std::vector<std::string> Args(std::vector<std::string> head, const std::string& tail) {
    std::istringstream words(tail);
    head.insert(head.end(), std::istream_iterator<std::string>(words), {});
    return head;
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

TEST(DemoCommand, EchoesEveryByteOfAWholeSession) {
    Subprocess demo({kHost, "demo"});
    EXPECT_EQ(demo.Wait(), 0) << demo.Stdout() << demo.Stderr();
    EXPECT_TRUE(Has(demo.Stdout(),
                    "demo: PASS: 3 writes, 286 bytes sent, 286 bytes echoed back, "
                    "byte-exact"));
}

// Two virtual adapters listed; blanks and quotes are part of a description.
std::vector<std::string> PortsArgs(const std::string& extra = "") {
    return Args({kHost, "--virtual", "product=Quote \"Q\"  Port,serial=J1,peer=none", "--virtual",
                 "product=Plain,manufacturer=ACME,vid=1a86,pid=7523,peer=none", "ports"},
                extra);
}

TEST(PortsCommand, ShowsExactDescriptionsAsText) {
    Subprocess ports(PortsArgs());
    ASSERT_EQ(ports.Wait(), 0) << ports.Stderr();
    EXPECT_TRUE(Has(ports.Stdout(),
                    "\"Quote \\\"Q\\\"  Port - J1\"\n    port: /dev/ttyUSB0   transport: "
                    "usb   vid:pid: 0403:6001   manufacturer: \"cpd-host\"   "
                    "serial: \"J1\"\n"));
}

TEST(PortsCommand, GivesEachPortsDetailsAsJson) {
    Subprocess json(PortsArgs("--json"));
    ASSERT_EQ(json.Wait(), 0) << json.Stderr();
    const auto list = nlohmann::json::parse(json.Stdout(), nullptr, false);
    ASSERT_TRUE(list.is_array() && list.size() == 2) << json.Stdout();
    const auto quoted = nlohmann::json::parse(R"({"description": "Quote \"Q\"  Port - J1",
        "port": "/dev/ttyUSB0", "transport": "usb", "vid": 1027, "pid": 24577,
        "manufacturer": "cpd-host", "serial": "J1"})");
    const auto& plain = list[0] == quoted ? list[1] : list[0];
    EXPECT_TRUE(list[0] == quoted || list[1] == quoted) << json.Stdout();
    EXPECT_EQ(plain["vid"], 6790);
    EXPECT_TRUE(plain["serial"].is_null());
}

class TermOnVirtualAdapter : public WithTempDir {
  protected:
    std::string Spec() const { return "product=Test Port,serial=T1,peer=unix:" + Socket(); }
};

TEST_F(TermOnVirtualAdapter, CarriesEveryByteBothWaysAtTheRequestedSettings) {
    struct Case {
        std::string spec;      // added to the adapter's
        std::string settings;  // term's
        size_t bytes;          // piped through term
        std::string line;      // what the port runs with, as the adapter saw it applied
        size_t chunk;          // bytes per write: each leaves the line in 250 ms
    };
    for (const Case& c : std::vector<Case>{
             // More than the port buffers: the device must read while the host writes.
             {"",
              "--baud 115200 --data-bits 7 --parity even --stop-bits 2 --flow-off --dtr-pulse "
              "--read-timeout 50 --linger 300",
              16000, "115200 baud 7E2, DTR on, RTS on, 1 DTR drop, flow control none", 2618},
             // Regression: on a slow line term closed the port while its buffers still held
             // most of the input, which never reached the device.
             {",pace=line", "--baud 9600 --flow-off", 2000, "9600 baud 8N1", 240},
         }) {
        std::string input;
        for (int i = 0; input.size() < c.bytes; ++i) {
            input += "line " + std::to_string(i) + "\n";
        }
        Subprocess term(Args({kHost, "--virtual", Spec() + c.spec, "term", "Test Port - T1"},
                             "--trace " + c.settings));
        Stream device(ConnectUnix(Socket()));
        ASSERT_TRUE(device.Valid());
        ASSERT_TRUE(term.WaitForStderr("remote>plugin START_READ"));
        ASSERT_TRUE(device.Send("from-device\n"));
        EXPECT_TRUE(term.WaitForStdout("from-device\n"));

        std::string got;
        std::thread reader([&] { got = device.ReadUntil(input.substr(input.size() - 20)); });
        EXPECT_TRUE(term.Write(input));
        term.CloseStdin();
        EXPECT_EQ(term.Wait(), 0) << term.Stderr();
        reader.join();
        EXPECT_TRUE(got == input) << got.size() << " of " << input.size() << " bytes";

        const std::string err = term.Stderr();
        EXPECT_TRUE(Has(err, "\"Test Port - T1\" via local-serial-redir: 9600 baud"));
        EXPECT_TRUE(Has(err, "virtual /dev/ttyUSB0: " + c.line));
        EXPECT_TRUE(
            Has(err, "closed: " + std::to_string(input.size()) + " bytes sent, 12 bytes received"));
        EXPECT_TRUE(Has(err, "bytes=" + std::to_string(c.chunk) + " "));
        EXPECT_FALSE(Has(err, "bytes=" + std::to_string(c.chunk + 1) + " "));
    }
}

// Regression: term used to exit 0 while the plug-in dropped the writes the port refused.
TEST_F(TermOnVirtualAdapter, StalledDeviceEndsTheSessionCountingTheUnsentBytes) {
    std::signal(SIGPIPE, SIG_IGN);  // term leaves with its input unread
    Subprocess term({kHost, "--virtual", Spec(), "term", "Test Port - T1"});
    Stream device(ConnectUnix(Socket()));  // connected but never reading
    ASSERT_TRUE(device.Valid());
    std::thread feeder([&] { term.Write(std::string(512 * 1024, 'x')); });
    EXPECT_EQ(term.Wait(), 7) << term.Stderr();
    term.Signal(SIGKILL);
    feeder.join();
    EXPECT_TRUE(std::regex_search(term.Stderr(), std::regex("limit: [1-9][0-9]* bytes not sent")))
        << term.Stderr();
}

class ServeOverLoopback : public WithTempDir {
  protected:
    // Options added to the server's command line.
    virtual std::string Rules() const { return "--listen 127.0.0.1:0"; }
    void SetUp() override {
        mServer = std::make_unique<Subprocess>(
            Args({kHost, "--virtual", "product=Net Port,serial=N1,peer=unix:" + Socket(), "serve",
                  "Net Port - N1"},
                 "--trace --dev-id 7 --log " + mDir + "/plugin.log " + Rules()));
        ASSERT_TRUE(mServer->WaitForStderr("one remote at a time"));
        std::smatch match;
        const std::string err = mServer->Stderr();
        ASSERT_TRUE(std::regex_search(err, match, std::regex(":(\\d+) as devId 7")));
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
    Subprocess Connect(const std::string& extra = "") {
        return Subprocess(Args({kHost, "--trace", "term", "--connect", Address()}, extra));
    }

    // One full remote session through `term --connect`: bytes both ways, clean exit.
    void RoundTrip(const std::string& tag, const std::string& extra = "") {
        Subprocess term =
            Connect(extra + " --baud 38400 --flow-off --read-timeout 50 --linger 300");
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

// Remotes in turn, each with its settings; a broken one is dropped and the next served.
TEST_F(ServeOverLoopback, BrokenRemoteLeavesTheServerServingTheNext) {
    RoundTrip("one");
    EXPECT_TRUE(Has(mServer->Stderr(), "virtual /dev/ttyUSB0: 38400 baud"));
    // The device is closed when the remote leaves and opened again for the next one.
    EXPECT_TRUE(mServer->WaitForStderr("closed \"Net Port - N1\" for 127.0.0.1:"));
    {  // leaves in the middle of a frame
        Stream remote(LoopbackTcp(&mPort));
        ASSERT_GE(remote.ReadUntil(Header(0x27, 2000, 52).substr(0, 4)).size(), 4u);
        ASSERT_TRUE(remote.Send(Header(0x27, 2010, 100).substr(0, 10)));
    }
    // Each broken remote must be dropped with its reason and leave the server serving.
    EXPECT_TRUE(mServer->WaitForStderr("left in mid-frame (10 bytes of a frame dropped)"));
    for (const std::string& junk :
         {std::string("GET / HTTP/1.1\r\n\r\n"), Header(0x27, 2010, 0x7fffffff)}) {
        Stream remote(LoopbackTcp(&mPort));
        ASSERT_TRUE(remote.Send(junk));
        EXPECT_TRUE(remote.WaitForClose());
    }
    EXPECT_TRUE(mServer->WaitForStderr("bad magic 0x47 (expected 0x27); closing the connection"));
    EXPECT_TRUE(mServer->WaitForStderr("frame length 2147483647 outside 16..1048576"));
    RoundTrip("two");
}

// Regression: a remote arriving while the previous one was still being served (or torn down)
// was refused at once.
TEST_F(ServeOverLoopback, OneMoreRemoteMayWaitForTheSlot) {
    Subprocess first = Connect("--linger 300");
    ASSERT_TRUE(mServer->WaitForStderr("remote>plugin START_READ"));
    Subprocess second = Connect("--linger 300");
    ASSERT_TRUE(mServer->WaitForStderr(" waits for 127.0.0.1:"));
    Subprocess third = Connect();
    EXPECT_EQ(third.Wait(), 1);
    EXPECT_TRUE(Has(third.Stderr(), "closed the connection before its configuration report"));
    EXPECT_TRUE(mServer->WaitForStderr("refused remote 127.0.0.1:"));
    first.CloseStdin();
    EXPECT_EQ(first.Wait(), 0) << first.Stderr();
    EXPECT_TRUE(second.WaitForStderr("remote>plugin START_READ"));
    second.CloseStdin();
    EXPECT_EQ(second.Wait(), 0) << second.Stderr();
}

// Listening beyond loopback: a token, checked before the plug-in sees anything, a linger for
// a remote that has sent its last frame, and an idle timeout.
class ServeToTheNetwork : public ServeOverLoopback {
  protected:
    std::string Rules() const override {
        return "--listen 0.0.0.0:0 --allow-remote --idle-timeout 2 --linger 5000 --token-file " +
               Token();
    }
    std::string Token() const { return mDir + "/token"; }
    // A frame carrying `token` in the layout of a WRITE.
    static std::string TokenFrame(const std::string& token) {
        const auto len = static_cast<uint32_t>(token.size());
        return Header(0x27, 7990, 20 + len) + std::string(reinterpret_cast<const char*>(&len), 4) +
               token;
    }
    std::string FileToken() const {
        std::string token;
        std::ifstream(Token()) >> token;
        return token;
    }
    // Each remote sends its bytes and must be closed with the reason logged.
    void ExpectClosed(const std::vector<std::pair<std::string, std::string>>& sentAndLogged) {
        for (const auto& [sent, logged] : sentAndLogged) {
            Stream remote(LoopbackTcp(&mPort));
            ASSERT_TRUE(remote.Send(sent));
            EXPECT_TRUE(remote.WaitForClose()) << logged;
            EXPECT_TRUE(mServer->WaitForStderr(logged));
        }
    }
};

TEST_F(ServeToTheNetwork, AdmitsOnlyARemoteWithTheToken) {
    EXPECT_TRUE(Has(mServer->Stderr(), "listening on "));
    EXPECT_TRUE(Has(mServer->Stderr(), "127.0.0.1:" + std::to_string(mPort)));
    struct stat info {};
    ASSERT_EQ(::stat(Token().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(FileToken().size(), 64u);
    ExpectClosed(
        {{TokenFrame("guess"), "sent a wrong token"}, {Header(0x27, 2008, 16), "sent no token"}});
    RoundTrip("with the token", "--token-file " + Token());
}

TEST_F(ServeToTheNetwork, ClosesARemoteThatStaysSilent) {
    ExpectClosed({{Header(0x27, 7990, 84).substr(0, 3), "no token from 127.0.0.1:"},
                  {TokenFrame(FileToken()), "sent nothing for 2 s"}});
}

// Regression for the half-close: the remote used to lose the answer to its last write.
TEST_F(ServeToTheNetwork, AnswersARemoteThatFinishedSending) {
    Stream remote(LoopbackTcp(&mPort));
    const uint32_t four = 4;
    ASSERT_TRUE(remote.Send(TokenFrame(FileToken()) + Header(0x27, 2008, 16) +
                            Header(0x27, 2010, 24) +
                            std::string(reinterpret_cast<const char*>(&four), 4) + "ping"));
    remote.ShutWrite();
    EXPECT_TRUE(Has(mDevice->ReadUntil("ping"), "ping"));
    ASSERT_TRUE(mDevice->Send("pong"));
    EXPECT_TRUE(Has(remote.ReadUntil("pong"), "pong"));
}

// Each class of failure has its own exit code (2 usage, 3 plug-in, 4 port, 5 network) and a
// message naming the problem.
TEST(CommandLineErrors, NameTheProblemWithTheExitCodeOfItsClass) {
    uint16_t busy = 0;
    const int holder = LoopbackTcp(&busy, true);
    uint16_t closed = 0;
    ::close(LoopbackTcp(&closed));  // a port nobody listens on
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
             {{"term", "X", "--read-timeout", "5000"}, 2, "not in range 1 to 4094"},
             {{"term"}, 2, "term needs either a port description or --connect"},
             {{"ports", "--baud", "9600"}, 2, "--baud does not apply to this command"},
             {{"serve", "X"}, 2, "serve needs --listen"},
             {{"--virtual", "colour=red", "ports"}, 2, "unknown key \"colour\""},
             {{"--log", "/nonexistent/dir/log", "ports"}, 2, "--log: cannot open"},
             {{"--log-max-size", "10X", "ports"}, 2, "--log-max-size: expected a size"},
             {{"--plugin", "/nonexistent/libnothing.so", "demo"}, 3, "plug-in not found"},
             {{"--plugin", CPD_HOST_NOT_A_PLUGIN, "demo"}, 3, "no CPD_DRV_MODULE"},
             {{"--virtual", vs, "term", "virtual uart -  VS01"},
              4,
              "did you mean \"Virtual UART - VS01\"? The description must match exactly"},
             {{"--virtual", vs, "term", "/dev/ttyUSB0"},
              4,
              "/dev/ttyUSB0 is that port's name: select it by its description, \"Virtual UART - "
              "VS01\""},
             {{"--virtual", vs, "serve", "--listen", "127.0.0.1:" + std::to_string(busy),
               "Virtual UART - VS01"},
              5,
              "Address already in use"},
             {{"term", "--connect", "127.0.0.1:" + std::to_string(closed)},
              5,
              "cannot connect to 127.0.0.1:" + std::to_string(closed)},
             {{"--virtual", vs, "serve", "--listen", "0.0.0.0:0", "Virtual UART - VS01"},
              2,
              "reaches beyond this machine: that needs --allow-remote and --token-file"},
             {{"serve", "--listen", "0:0", "X", "--allow-remote"}, 2, "needs --token-file"},
             // RFC 2217 carries no token: beyond loopback anyone could drive the port.
             {{"--virtual", vs, "serve", "--rfc2217", "--listen", "0.0.0.0:0",
               "Virtual UART - VS01"},
              2,
              "--rfc2217 serves loopback only, as RFC 2217 clients cannot prove who they are"},
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
