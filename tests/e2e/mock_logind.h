// systemd-logind for one test: a private D-Bus daemon with python3-dbusmock's logind template
// on it, standing in for the system bus ($DBUS_SYSTEM_BUS_ADDRESS = address()). Started by the
// constructor (which throws when it cannot start), stopped by the destructor.
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/e2e/process.h"

namespace larkspan::e2e {

class MockLogind {
 public:
  MockLogind();
  ~MockLogind();
  MockLogind(const MockLogind&) = delete;
  MockLogind& operator=(const MockLogind&) = delete;

  const std::string& address() const { return address_; }
  // logind's inhibitors as ListInhibitors answers (dbus-send's printout), or "" on failure.
  std::string Inhibitors() const;
  // The method calls the mock logged, one a line.
  std::string Calls() const { return ReadFile(dir_.path() / "calls.log"); }

 private:
  TempDir dir_;
  std::string address_;
  pid_t bus_ = -1, logind_ = -1;
};

}  // namespace larkspan::e2e
