#pragma once
// A hibernation check whose answers the test gives, when it decides.

#include <functional>
#include <utility>
#include <vector>

#include "platform/hibernation.h"

namespace ebbmark::testing {

class FakeHibernationCheck : public HibernationCheck {
 public:
  int asked = 0;
  std::vector<std::function<void(HibernateSupport)>> pending;

  void Ask(std::function<void(HibernateSupport)> done) override {
    ++asked;
    pending.push_back(std::move(done));
  }
  // Answers every question still open.
  void Answer(HibernateSupport answer) {
    auto calls = std::move(pending);
    pending.clear();
    for (auto& done : calls) done(answer);
  }
};

}  // namespace ebbmark::testing
