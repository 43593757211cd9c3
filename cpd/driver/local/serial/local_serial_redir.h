// The redirection of one local serial port to the remote side. The host's calling thread
// constructs it, runs Init, Stop and the destructor; the host's delivering thread hands it
// packets through EventHandle (served at once, one at a time); the read thread started by
// SERIAL_CMD_START_READ pumps the port's bytes back. Non-copyable: it owns a thread and a port.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "cpd/driver/local/serial/serial_io.h"
#include "cpd/driver/local/serial/serial_protocol.h"
#include "cpd/driver/local/serial/wake_event.h"
#include "cpd/interface/cpd_driver.h"
#include "cpd/interface/cpd_export.h"
#include "cpd/interface/inf_pkt_interact.h"

namespace cpd {

// The class derives from DriverObj both directly and through SerialRedirLInf, as the host's
// interface layout requires; the direct part is then unreachable by name, which compilers warn
// about (MSVC as C4584). clang-cl takes the GCC form.
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winaccessible-base"
#elif defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4584)
#endif
class CPD_PLUGIN_API LocalSerialRedir : public DriverObj,
                                        public SerialRedirLInf,
                                        public InfPktCallback {
  public:
    // The read pump's buffer; a read never asks for more than this holds.
    static constexpr size_t kReadBufferSize = 4096;
    static constexpr uint64_t kDefaultReadLength = 4095;
    static constexpr uint32_t kWriteTimeoutMs = 500;

    explicit LocalSerialRedir(CpdDevice* device);
    ~LocalSerialRedir() override;
    LocalSerialRedir(const LocalSerialRedir&) = delete;
    LocalSerialRedir& operator=(const LocalSerialRedir&) = delete;

    // Opens the port, reads its settings and sends the one configuration report. 0 or the
    // failing step's result; on failure the object keeps serving packets.
    int Init();
    // Delivering thread. Always 0. Must not overlap the destructor.
    int EventHandle(std::unique_ptr<CpdPacket> packet, int arg);
    // Stops the read thread and joins it. A pump asleep on a quiet port ends at once; one inside
    // a read finishes it (at most one read timeout) and sends what it got. Idempotent.
    virtual void Stop();
    int PktCallback(int arg, std::unique_ptr<CpdPacket> packet) override;

  private:
    int createSerialIo();
    int sendRedirConfig(serial_config config);
    void readFromSerialPort();
    void cpdPrintData(unsigned char* data, int len);

    // The data of a SET_CONFIG (8 bytes before it) or WRITE (4) packet, copied; null after an
    // Error line when the packet does not carry what its len field claims.
    std::unique_ptr<uint8_t[]> copyCommandData(CpdPacket& packet, uint32_t* msgType, uint32_t* len);
    void startReadThread();

    std::unique_ptr<InfPktInteract<LocalSerialRedir>> mInteract;
    CpdDevice* mDevice = nullptr;
    std::atomic<uint32_t> mSeq{0};
    // Replaced by Init, read by the delivering and read threads: only through std::atomic_load
    // and std::atomic_store, so a second Init cannot free the port under a running pump.
    std::shared_ptr<SerialIO> mSerialIo;
    std::mutex mMutex;  // guards the test-and-set of mStopped, mReadThread and opening mWake
    // The pump sleeps on it with the port; raised by Stop and by an Init that replaces the port.
    WakeEvent mWake;
    std::unique_ptr<std::thread> mReadThread;
    std::atomic<bool> mStopped{true};
    // Written by the delivering thread, read by the read thread before each read.
    std::atomic<uint64_t> mReadLength{0};
    std::atomic<uint32_t> mReadTimeout{500};
    // Guarded by mMutex: a Stop is joining mReadThread outside the lock, so a START_READ in that
    // window must not replace the thread object yet.
    bool mJoining = false;
    std::condition_variable mJoined;
};
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#elif defined(_MSC_VER)
#pragma warning(pop)
#endif

}  // namespace cpd
