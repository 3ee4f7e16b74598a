// Whether Windows can hibernate: the S4 sleep state must be supported and
// the hibernation file present ("powercfg /h off" removes it, and with it
// hibernation, common on desktops with a small disk). The system answers at
// once; the answer is still handed over on the loop, as the interface says.

#include <windows.h>

#include <powrprof.h>

#include <utility>

#include <asio/post.hpp>

#include "platform/hibernation.h"

namespace ebbmark {
namespace {

class PowerCapabilitiesCheck final : public HibernationCheck {
 public:
  explicit PowerCapabilitiesCheck(asio::io_context& io) : io_(io) {}

  void Ask(std::function<void(HibernateSupport)> done) override {
    SYSTEM_POWER_CAPABILITIES caps{};
    HibernateSupport answer = HibernateSupport::Unknown;
    if (::GetPwrCapabilities(&caps))
      answer = caps.SystemS4 && caps.HiberFilePresent ? HibernateSupport::Able
                                                      : HibernateSupport::Unable;
    asio::post(io_, [done = std::move(done), answer, alive = std::weak_ptr<int>(alive_)] {
      if (!alive.expired()) done(answer);
    });
  }

 private:
  asio::io_context& io_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace

std::unique_ptr<HibernationCheck> MakeHibernationCheck(asio::io_context& io, const std::string&) {
  return std::make_unique<PowerCapabilitiesCheck>(io);
}

}  // namespace ebbmark
