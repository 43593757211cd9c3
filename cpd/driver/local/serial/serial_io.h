// The local serial port of one redirection, over libserialport. Created, opened and configured
// on the host's calling thread; afterwards the delivering thread (SetConfig, WriteBlocking) and
// the read pump (ReadBlocking) use the same open port at once, without a lock: libserialport
// allows a blocking read while another thread writes or changes settings. Non-copyable: it owns
// the port handle, which only the destructor releases.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "cpd/driver/local/serial/serial_protocol.h"
#include "cpd/driver/local/serial/wake_event.h"
#include "cpd/interface/cpd_device.h"

struct sp_port;
#ifdef _WIN32
struct sp_event_set;
#endif

namespace cpd {

class SerialIO {
  public:
    // `device` must outlive the object and carry a descriptor; its argument text selects the port.
    explicit SerialIO(CpdDevice* device);
    ~SerialIO();
    SerialIO(const SerialIO&) = delete;
    SerialIO& operator=(const SerialIO&) = delete;

    void Init();
    // Opens the first port whose description equals the selection text exactly. 0 or -1.
    int OpenSerialDev();
    int CloseSerialDev();
    // Reads the open port's settings; `*config` is written only on success. 0 or -1.
    int GetSerialConfig(serial_config* config);
    // Applies one configuration request; `data` holds `len` bytes and is not kept.
    // -1 only for a refused baud rate.
    int SetConfig(uint32_t msgType, uint32_t len, const void* data);
    // 0 when all bytes left within the timeout, else -1.
    int WriteBlocking(const void* data, size_t len, uint32_t timeoutMs);
    // libserialport's result: bytes read (0 on timeout) or a negative sp_return code.
    int ReadBlocking(void* buffer, size_t len, uint32_t timeoutMs);
    int ReadNonBlocking(void* buffer, size_t len);
    enum class Input { kReady, kWoken, kGone };
    // Read thread: sleeps until input waits at the port (kReady), `wake` is raised (kWoken) or
    // the port went away for good (kGone: adapter unplugged, line hung up; then at once on every
    // call). kReady at once where the port cannot be waited on: the read reports what is wrong.
    Input WaitForInput(const WakeEvent& wake);

  private:
    std::string mArgs;
    bool mOpened = false;
    CpdDevice* mDevice = nullptr;
    sp_port* mPort = nullptr;  // owned; released with sp_free_port by the destructor only
#ifdef _WIN32
    sp_event_set* mEvents = nullptr;  // the port's receive event; read thread, owned
#endif
};

}  // namespace cpd
