#include <systemd/sd-bus.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/hibernation.h"
#include "tests/support/systemd_stand_in_posix.h"

namespace ebbmark {
namespace {

using testing::PrivateBus;
using testing::RunUntil;

// logind's Manager with only CanHibernate, answering what the test says,
// or keeping the question unanswered.
class LogindStandIn {
 public:
  std::string answer = "yes";
  bool silent = false;
  int asked = 0;

  LogindStandIn(asio::io_context& io, const std::string& address) {
    sd_bus* bus = nullptr;
    if (address.empty() || sd_bus_new(&bus) < 0) return;
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0 || sd_bus_request_name(bus, "org.freedesktop.login1", 0) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", kTable, this) < 0) {
      sd_bus_unref(bus);
      return;
    }
    pump_ = std::make_unique<SdBusPump>(io, bus);
  }
  ~LogindStandIn() {
    for (sd_bus_message* m : held_) sd_bus_message_unref(m);
  }
  bool Ok() const { return pump_ != nullptr; }

 private:
  static int OnCanHibernate(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<LogindStandIn*>(userdata);
    ++self->asked;
    if (self->silent) {
      self->held_.push_back(sd_bus_message_ref(m));
      return 1;
    }
    return sd_bus_reply_method_return(m, "s", self->answer.c_str());
  }
  static constexpr sd_bus_vtable kTable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("CanHibernate", "", "s", &LogindStandIn::OnCanHibernate, 0),
      SD_BUS_VTABLE_END,
  };
  std::unique_ptr<SdBusPump> pump_;
  std::vector<sd_bus_message*> held_;
};

class LogindHibernation : public ::testing::Test {
 protected:
  void SetUp() override {
    if (bus.Address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
    ASSERT_TRUE(logind.Ok());
  }
  // Asks, and returns the answer once it has come; nothing when none came.
  std::optional<HibernateSupport> Ask(HibernationCheck& check) {
    std::optional<HibernateSupport> got;
    check.Ask([&](HibernateSupport s) { got = s; });
    EXPECT_FALSE(got) << "answered inside the call";
    RunUntil(
        io, [&] { return got.has_value(); }, 1000);
    return got;
  }

  asio::io_context io;
  PrivateBus bus;
  LogindStandIn logind{io, bus.Address()};
};

TEST_F(LogindHibernation, OnlyYesMeansTheComputerCanHibernate) {
  const auto check = MakeHibernationCheck(io, bus.Address());
  const std::pair<const char*, HibernateSupport> cases[] = {
      {"yes", HibernateSupport::Able},
      {"no", HibernateSupport::Unable},
      {"na", HibernateSupport::Unable},
      {"challenge", HibernateSupport::Unable},
  };
  for (const auto& [answer, expected] : cases) {
    logind.answer = answer;
    EXPECT_EQ(Ask(*check), expected) << answer;
  }
  EXPECT_EQ(logind.asked, 4);  // one connection, asked afresh each time
}

TEST_F(LogindHibernation, NoLogindOrNoBusIsUnknown) {
  PrivateBus empty;  // a bus where no logind runs
  ASSERT_FALSE(empty.Address().empty());
  const auto without_logind = MakeHibernationCheck(io, empty.Address());
  EXPECT_EQ(Ask(*without_logind), HibernateSupport::Unknown);

  const auto without_bus = MakeHibernationCheck(io, "unix:path=/nonexistent/ebbmark-bus");
  EXPECT_EQ(Ask(*without_bus), HibernateSupport::Unknown);
}

TEST_F(LogindHibernation, ACheckGoneBeforeTheAnswerNeverCalls) {
  logind.silent = true;
  auto check = MakeHibernationCheck(io, bus.Address());
  bool called = false;
  check->Ask([&](HibernateSupport) { called = true; });
  RunUntil(io, [&] { return logind.asked == 1; });
  ASSERT_EQ(logind.asked, 1);
  check.reset();
  for (int i = 0; i < 20; ++i) {
    io.restart();
    io.run_one_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace ebbmark
