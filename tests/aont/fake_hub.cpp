#include "tests/aont/fake_hub.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>

#include "interfaces/suid_lookup.h"
#include "tests/fakes/journal.h"

namespace {

std::mutex mutex;
std::set<unsigned long> failing_creates;
unsigned long create_calls = 0;
std::map<unsigned long, std::string> requests;
std::map<unsigned long, orb_interface::event_cb> event_callbacks;
suid_lookup::suid_event_cb* live_lookup_callback = nullptr;

std::string suid_text(sensor_uid suid) { return std::to_string(suid.low) + ":" + std::to_string(suid.high); }

const char* set_or_empty(bool set) { return set ? "set" : "empty"; }

class fake_client final : public orb_interface {
 public:
  explicit fake_client(unsigned long number) : number_(number) {}
  ~fake_client() override { journal::record(name() + ".destroyed"); }

  bool register_callbacks(sensor_uid suid, error_cb on_error, response_cb on_response, event_cb on_event) override {
    journal::record(name() + ".register_callbacks(" + suid_text(suid) + ", error=" + set_or_empty(bool(on_error)) +
                    ", response=" + set_or_empty(bool(on_response)) + ", event=" + set_or_empty(bool(on_event)) +
                    ")");
    std::lock_guard lock(mutex);
    event_callbacks[number_] = std::move(on_event);
    return true;
  }

  bool send_client_request(sensor_uid suid, bool wakeup, std::string request) override {
    journal::record(name() + ".send_client_request(" + suid_text(suid) + ", " + std::to_string(int{wakeup}) +
                    ", bytes=" + std::to_string(request.size()) + ")");
    std::lock_guard lock(mutex);
    requests[number_] = std::move(request);
    return true;
  }

 private:
  std::string name() const { return "orb_interface#" + std::to_string(number_); }
  const unsigned long number_;
};

}  // namespace

struct suid_lookup::impl {
  suid_event_cb callback;
};

suid_lookup::suid_lookup(suid_event_cb callback) : state(std::make_unique<impl>(impl{std::move(callback)})) {
  journal::record("suid_lookup created");
  std::lock_guard lock(mutex);
  live_lookup_callback = &state->callback;
}

suid_lookup::~suid_lookup() {
  journal::record("suid_lookup destroyed");
  std::lock_guard lock(mutex);
  live_lookup_callback = nullptr;
}

void suid_lookup::request_suid(std::string datatype, bool default_only) {
  journal::record("suid_lookup.request_suid(" + datatype + ", " + (default_only ? "true" : "false") + ")");
}

std::unique_ptr<orb_interface> orb_interface::create(orb_connection_type type, orb_conn_config config) {
  unsigned long number = 0;
  bool fails = false;
  {
    std::lock_guard lock(mutex);
    number = ++create_calls;
    fails = failing_creates.count(number) != 0;
  }
  const std::string call = "orb_interface.create(" + std::to_string(type) + ", {" + std::to_string(config.flags) +
                           ", " + std::to_string(config.timeout_ms) + "}) = ";
  if (fails) {
    journal::record(call + "null");
    return nullptr;
  }
  journal::record(call + "#" + std::to_string(number));
  return std::make_unique<fake_client>(number);
}

namespace fake_hub {

void fail_create(unsigned long number) {
  std::lock_guard lock(mutex);
  failing_creates.insert(number);
}

void answer(const std::string& datatype, const std::vector<sensor_uid>& suids) {
  suid_lookup::suid_event_cb callback;
  {
    std::lock_guard lock(mutex);
    ASSERT_NE(live_lookup_callback, nullptr) << "no suid_lookup alive";
    callback = *live_lookup_callback;
  }
  callback(datatype, suids);
}

std::string request_bytes(unsigned long number) {
  std::lock_guard lock(mutex);
  return requests.at(number);
}

orb_interface::event_cb event_callback(unsigned long number) {
  std::lock_guard lock(mutex);
  return event_callbacks.at(number);
}

}  // namespace fake_hub
