// Packet-interaction layer between a host device and the driver object that owns it.
// OnReceive runs on the host's delivering thread and routes each packet to a one-shot handler
// for its seq (run on the layer's looper thread), to a caller waiting for that seq, or else to
// the registered InfPktCallback, called at once under the callback mutex (one packet at a time).
// Send may be called from any thread. The owner must stop delivering packets and waiting for
// replies before it destroys the layer.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "cpd/host/framework/looper.h"
#include "cpd/interface/cpd_device.h"
#include "cpd/interface/cpd_log.h"
#include "cpd/interface/cpd_packet.h"

// The layer's messages name this header, wherever the including build keeps it.
#define CPD_IPI_FILE_ "interface/inf_pkt_interact.h"
#define CPD_IPI_LOGD(msg, ...) \
    CPD_LOG_AT_(CPD_IPI_FILE_, ::cpd::logging::kLevelDebug, "Debug:", msg, ##__VA_ARGS__)
#define CPD_IPI_LOGE(msg, ...) \
    CPD_LOG_AT_(CPD_IPI_FILE_, ::cpd::logging::kLevelError, "Error:", msg, ##__VA_ARGS__)

namespace cpd {

constexpr uint16_t CPD_CMD_CALL_REPLY = 7937;

// Receiver of ordinary packets; owns the packet from the call on.
class InfPktCallback {
  public:
    virtual int PktCallback(int arg, std::unique_ptr<CpdPacket> packet) = 0;

  protected:
    ~InfPktCallback() = default;
};

template <typename T>
class InfPktInteract {
  public:
    using Handler = int (T::*)(int arg, std::unique_ptr<CpdPacket> packet);

    // Named functions that a remote call can reach (OnCall).
    class VoidFunc {
      public:
        virtual void Call(T* owner, std::string argument) = 0;
        virtual ~VoidFunc() = default;
    };
    class RetFunc {
      public:
        virtual std::string Call(T* owner, std::string argument) = 0;
        virtual ~RetFunc() = default;
    };

    InfPktInteract(T* owner, CpdDevice* device) {
        mOwner = owner;
        mDevice = device;
        mCallSeq = 0;
        mLooper.reset(new Looper());
        mExiting = false;
        mLooper->Start();
        mCallback = nullptr;
    }

    virtual ~InfPktInteract() {
        mExiting = true;
        mReplyCond.notify_all();
        CPD_IPI_LOGD("InfPktInteract  destroy.........  ");
        {
            std::lock_guard<std::mutex> lock(mQueueMutex);
            mLooper.reset();
        }
        {
            std::lock_guard<std::mutex> lock(mWaiterMutex);
            mSyncWaiters.clear();
        }
    }

    InfPktInteract(const InfPktInteract&) = delete;
    InfPktInteract& operator=(const InfPktInteract&) = delete;

    virtual int OnReceive(int arg, std::unique_ptr<CpdPacket> packet) {
        CPD_IPI_LOGD("OnReceiver: cmd: %d, paylaodSize: %d\n", packet->GetCmd(),
                     static_cast<int>(packet->GetPayloadLen()));
        const uint32_t seq = packet->GetSeq();
        Handler handler = nullptr;
        bool hasHandler = false;
        {
            std::lock_guard<std::mutex> lock(mHandlerMutex);
            auto it = mAsyncHandlers.find(seq);
            if (it != mAsyncHandlers.end()) {
                handler = it->second;
                mAsyncHandlers.erase(it);
                hasHandler = true;
            }
        }
        bool hasWaiter = false;
        {
            std::lock_guard<std::mutex> lock(mWaiterMutex);
            hasWaiter = mSyncWaiters.find(seq) != mSyncWaiters.end();
        }
        if (hasHandler) {
            CPD_IPI_LOGD("virtusb EventHandler: PostTask\n");
            PostPktTask(handler, arg, std::move(packet));
        } else if (hasWaiter) {
            CPD_IPI_LOGD("proto OnData: sync info \n");
            std::lock_guard<std::mutex> lock(mQueueMutex);
            mReplies.push_back(std::move(packet));
            mReplyCond.notify_all();
        } else {
            CPD_IPI_LOGD("proto OnData: send data PacketHnadler,cmd [%d]\n", packet->GetCmd());
            std::lock_guard<std::mutex> lock(mCallbackMutex);
            if (mCallback != nullptr) {
                mCallback->PktCallback(arg, std::move(packet));
            }
        }
        return 0;
    }

    virtual void OnCall(std::unique_ptr<CpdPacket> packet, int arg) {
        CPD_IPI_LOGE("enter");
        std::string name;
        std::string argument;
        packet->ReadString(name);
        packet->ReadString(argument);
        CPD_IPI_LOGE("oncall method=%s", name.c_str());
        auto voidIt = mVoidFuncs.find(name);
        if (voidIt != mVoidFuncs.end()) {
            CPD_IPI_LOGE("enter void func");
            voidIt->second->Call(mOwner, argument);
        }
        auto retIt = mRetFuncs.find(name);
        if (retIt != mRetFuncs.end()) {
            CPD_IPI_LOGE("enter ret func");
            const std::string result = retIt->second->Call(mOwner, argument);
            std::unique_ptr<CpdPacket> reply(new CpdPacket(1024));
            reply->SetHeader(static_cast<uint8_t>(mDevice != nullptr ? mDevice->GetDevId() : 0),
                             CPD_CMD_CALL_REPLY, packet->GetSeq());
            reply->AppendString(result);
            Send(std::move(reply), arg);
        }
    }

    int SetCallback(InfPktCallback* callback) {
        std::lock_guard<std::mutex> lock(mCallbackMutex);
        mCallback = callback;
        return 0;
    }

    // Any thread. Hands the packet to the device; -1 (packet destroyed) without a device.
    int Send(std::unique_ptr<CpdPacket> packet, int arg) {
        if (mDevice == nullptr) {
            return -1;
        }
        return mDevice->SendPacket(std::move(packet), arg);
    }

    void PostPktTask(Handler handler, int arg, std::unique_ptr<CpdPacket> packet) {
        std::unique_ptr<Message> task(new PktTaskMessage(handler, mOwner, arg, std::move(packet)));
        mLooper->PostMessageAAA(std::move(task));
    }

    // Registration, for hosts and drivers that use the other routes. Entries may be added from
    // any thread; each async handler serves one packet.
    void AddAsyncHandler(uint32_t seq, Handler handler) {
        std::lock_guard<std::mutex> lock(mHandlerMutex);
        mAsyncHandlers[seq] = handler;
    }
    void AddSyncWaiter(uint32_t seq) {
        std::lock_guard<std::mutex> lock(mWaiterMutex);
        mSyncWaiters[seq] = seq;
    }
    // Waits up to `timeout` for the reply to `seq` registered with AddSyncWaiter, then removes
    // the waiter. Null on timeout or when the layer is being destroyed.
    std::unique_ptr<CpdPacket> WaitReply(uint32_t seq, std::chrono::milliseconds timeout) {
        std::unique_ptr<CpdPacket> reply;
        {
            std::unique_lock<std::mutex> lock(mQueueMutex);
            mReplyCond.wait_for(lock, timeout, [&] {
                if (mExiting) {
                    return true;
                }
                for (auto it = mReplies.begin(); it != mReplies.end(); ++it) {
                    if ((*it)->GetSeq() == seq) {
                        reply = std::move(*it);
                        mReplies.erase(it);
                        return true;
                    }
                }
                return false;
            });
        }
        std::lock_guard<std::mutex> lock(mWaiterMutex);
        mSyncWaiters.erase(seq);
        return reply;
    }
    void AddVoidFunc(const std::string& name, std::shared_ptr<VoidFunc> func) {
        mVoidFuncs[name] = std::move(func);
    }
    void AddRetFunc(const std::string& name, std::shared_ptr<RetFunc> func) {
        mRetFuncs[name] = std::move(func);
    }

  private:
    class PktTaskMessage : public Message {
      public:
        PktTaskMessage(Handler handler, T* owner, int arg, std::unique_ptr<CpdPacket> packet)
            : mHandler(handler), mOwner(owner), mArg(arg), mPacket(std::move(packet)) {}
        int Run() override { return (mOwner->*mHandler)(mArg, std::move(mPacket)); }
        ~PktTaskMessage() override = default;

      private:
        Handler mHandler;
        T* mOwner;
        int mArg;
        std::unique_ptr<CpdPacket> mPacket;
    };

    T* mOwner = nullptr;
    // Read by WaitReply while the destructor sets it, hence atomic.
    std::atomic<bool> mExiting{false};
    InfPktCallback* mCallback = nullptr;  // guarded by mCallbackMutex
    CpdDevice* mDevice = nullptr;
    std::unique_ptr<Looper> mLooper;             // released under mQueueMutex
    std::map<uint32_t, Handler> mAsyncHandlers;  // guarded by mHandlerMutex
    std::map<uint32_t, uint32_t> mSyncWaiters;   // guarded by mWaiterMutex
    std::mutex mQueueMutex;                      // guards mReplies
    std::mutex mCallbackMutex;
    std::mutex mWaiterMutex;
    std::mutex mHandlerMutex;
    std::condition_variable mReplyCond;
    std::list<std::unique_ptr<CpdPacket>> mReplies;
    std::atomic<uint32_t> mCallSeq{0};
    // Filled before packets flow; read by OnCall on the delivering thread.
    std::map<std::string, std::shared_ptr<VoidFunc>> mVoidFuncs;
    std::map<std::string, std::shared_ptr<RetFunc>> mRetFuncs;
};

}  // namespace cpd
