// logind's own judgement of hibernation (swap large enough, the kernel's
// support, the configuration), asked over the system bus on the program's
// loop.

#include <systemd/sd-bus.h>

#include <cstring>
#include <utility>
#include <vector>

#include <asio/post.hpp>

#include "platform/hibernation.h"
#include "platform/posix/sd_bus_pump_posix.h"

namespace ebbmark {
namespace {

constexpr std::uint64_t kAnswerMicroseconds = 5'000'000;

class LogindHibernationCheck final : public HibernationCheck {
 public:
  LogindHibernationCheck(asio::io_context& io, std::string address)
      : io_(io), address_(std::move(address)) {}

  ~LogindHibernationCheck() override {
    // The slots go with the bus; their callbacks never run.
    for (Call* call : calls_) {
      call->slot = sd_bus_slot_unref(call->slot);
      delete call;
    }
    pump_.reset();
  }

  void Ask(std::function<void(HibernateSupport)> done) override {
    if (!pump_ && !Open()) {
      Later(std::move(done), HibernateSupport::Unknown);
      return;
    }
    auto* call = new Call{this, std::move(done), nullptr};
    const int r = sd_bus_call_method_async(
        pump_->Bus(), &call->slot, "org.freedesktop.login1", "/org/freedesktop/login1",
        "org.freedesktop.login1.Manager", "CanHibernate", &OnAnswer, call, "");
    if (r < 0) {
      Later(std::move(call->done), HibernateSupport::Unknown);
      delete call;
      return;
    }
    calls_.push_back(call);
    pump_->Kick();
  }

 private:
  struct Call {
    LogindHibernationCheck* self;
    std::function<void(HibernateSupport)> done;
    sd_bus_slot* slot;
  };

  bool Open() {
    sd_bus* bus = nullptr;
    if (address_.empty()) {
      if (sd_bus_open_system(&bus) < 0) return false;
    } else {
      if (sd_bus_new(&bus) < 0) return false;
      if (sd_bus_set_address(bus, address_.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
          sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return false;
      }
    }
    // The bus's default of 25 s is long to wait for a warning.
    sd_bus_set_method_call_timeout(bus, kAnswerMicroseconds);
    pump_ = std::make_unique<SdBusPump>(io_, bus);
    return true;
  }

  void Later(std::function<void(HibernateSupport)> done, HibernateSupport answer) {
    asio::post(io_, [done = std::move(done), answer, alive = std::weak_ptr<int>(alive_)] {
      if (!alive.expired()) done(answer);
    });
  }

  static int OnAnswer(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* call = static_cast<Call*>(userdata);
    LogindHibernationCheck* self = call->self;
    HibernateSupport answer = HibernateSupport::Unknown;
    const char* text = nullptr;
    if (!sd_bus_message_is_method_error(reply, nullptr) &&
        sd_bus_message_read(reply, "s", &text) >= 0 && text != nullptr) {
      // "no", "na" and "challenge" alike: the service could not count on it.
      answer = std::strcmp(text, "yes") == 0 ? HibernateSupport::Able : HibernateSupport::Unable;
    }
    std::erase(self->calls_, call);
    call->slot = sd_bus_slot_unref(call->slot);
    auto done = std::move(call->done);
    delete call;
    done(answer);
    return 0;
  }

  asio::io_context& io_;
  std::string address_;
  std::unique_ptr<SdBusPump> pump_;
  std::vector<Call*> calls_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace

std::unique_ptr<HibernationCheck> MakeHibernationCheck(asio::io_context& io,
                                                       const std::string& bus_address) {
  return std::make_unique<LogindHibernationCheck>(io, bus_address);
}

}  // namespace ebbmark
