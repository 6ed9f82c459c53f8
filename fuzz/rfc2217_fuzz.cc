// The network port's Telnet client under libFuzzer: every input is what a
// port server sends.
//
// The codec reads it twice, whole and cut into pieces at places the input
// picks, after the same opening and requests of ours; both readings must
// agree in every byte of data, every byte for the server, every answer and
// every state. Its promises: data and owed answers stay within their caps
// (remote/rfc2217.h), an input without IAC is all data, and an overrun is
// said once a cap is passed.
//
// The backend then meets the same bytes as its server, on a virtual
// clock, and runs a short session: the set-up, reads, writes, a break, a
// drain, a discard, the close. Its promises: the set-up ends within its
// 5 s, every read and write within its time-out (and the slice of one
// receive), nothing goes to a server after the connection was lost or
// given up, and the client never holds more than its caps.
//
// A fault is a crash, a sanitizer report, or a broken promise.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "remote/rfc2217.h"
#include "remote/serial-rfc2217.h"
#include "tests/support/virtual_clock.h"

namespace {

using namespace chipferry;
using rfc2217::Client;
using rfc2217::Command;

void check(bool holds) {
  if (!holds) std::abort();
}

// What the backend asks of a server, and a break and a purge besides.
constexpr rfc2217::Setting kRequests[] = {
    {Command::set_baud_rate, 0}, {Command::set_baud_rate, 19200}, {Command::set_data_size, 8},
    {Command::set_parity, 1},    {Command::set_stop_size, 1},     {Command::set_control, 3},
    {Command::set_control, 5},   {Command::set_control, 6},       {Command::purge_data, 2},
};

struct Reading {
  Client client;
  std::vector<std::shared_ptr<const rfc2217::Request>> asked;
  size_t opening = 0;  ///< the bytes of `out` that are our own

  Reading() {
    client.start();
    for (const rfc2217::Setting& setting : kRequests) asked.push_back(client.ask(setting));
    opening = client.out.size();
  }
  void take(std::span<const uint8_t> in) {
    client.take(in);
    check(client.data.size() <= Client::kMaxData);
    check(client.out.size() <= std::max(opening, Client::kMaxOut));
  }
};

void check_codec(std::span<const uint8_t> in) {
  Reading whole;
  whole.take(in);
  Reading cut;
  // Each piece as long as the byte it starts with says, 1 to 8.
  for (size_t at = 0; at < in.size();) {
    const size_t piece = std::min<size_t>(1 + in[at] % 8, in.size() - at);
    cut.take(in.subspan(at, piece));
    at += piece;
  }
  check(whole.client.data == cut.client.data && whole.client.out == cut.client.out);
  check(whole.client.overrun() == cut.client.overrun());
  check(whole.client.settled() == cut.client.settled());
  check(whole.client.com_port() == cut.client.com_port());
  check(whole.client.binary() == cut.client.binary());
  for (size_t i = 0; i < whole.asked.size(); ++i) {
    check(whole.asked[i]->answer == cut.asked[i]->answer);
  }
  const bool no_iac = std::find(in.begin(), in.end(), rfc2217::kIac) == in.end();
  if (no_iac) {
    const size_t kept = std::min(in.size(), Client::kMaxData);
    check(std::equal(in.begin(), in.begin() + static_cast<ptrdiff_t>(kept),
                     whole.client.data.begin(), whole.client.data.end()));
  }
  check(whole.client.overrun() != Client::Overrun::data ||
        whole.client.data.size() == Client::kMaxData);
  if (no_iac)
    check((in.size() > Client::kMaxData) == (whole.client.overrun() != Client::Overrun::none));
}

// The server: the input in pieces, a millisecond a piece; then silence, or
// the connection's end. It takes what is sent, or nothing.
class FuzzServer : public Connection {
 public:
  FuzzServer(test::VirtualClock& clock, std::span<const uint8_t> in, bool reads, bool hangs_up,
             size_t piece)
      : clock_(clock), in_(in), reads_(reads), hangs_up_(hangs_up), piece_(piece) {}

  ConnectResult connect(const std::string&, uint16_t, uint32_t) override {
    open_ = true;
    return ConnectResult::ok;
  }
  long receive(std::span<uint8_t> buffer, uint32_t timeout_ms) override {
    check(open_ && !lost_);
    if (at_ == in_.size() && hangs_up_) {
      lost_ = true;
      return -1;
    }
    if (at_ == in_.size()) {
      clock_.now += timeout_ms;
      return 0;
    }
    const size_t n = std::min({buffer.size(), in_.size() - at_, piece_});
    std::copy_n(in_.begin() + static_cast<ptrdiff_t>(at_), n, buffer.begin());
    at_ += n;
    clock_.now += 1;
    return static_cast<long>(n);
  }
  long send(std::span<const uint8_t> bytes, uint32_t timeout_ms) override {
    check(open_ && !lost_);
    if (reads_) return static_cast<long>(bytes.size());
    clock_.now += timeout_ms;
    return 0;
  }
  bool all_delivered() const override { return true; }
  void close(uint32_t) override { open_ = false; }
  bool is_open() const override { return open_; }
  bool run_ending() const override { return false; }
  const std::string& error_text() const override { return error_; }

 private:
  test::VirtualClock& clock_;
  std::span<const uint8_t> in_;
  size_t at_ = 0;
  bool reads_;
  bool hangs_up_;
  size_t piece_;
  bool open_ = false;
  bool lost_ = false;
  std::string error_ = "the port server closed the connection";
};

// A call on `serial` that may take no longer than `most_ms` of the clock.
template <typename Call>
auto timed(test::VirtualClock& clock, uint64_t most_ms, Call call) {
  const uint64_t start = clock.now;
  auto result = call();
  check(clock.now - start <= most_ms);
  return result;
}

// A receive may wait its whole slice, and a piece costs a millisecond.
constexpr uint64_t kTimeOutMs = 60;
constexpr uint64_t kOver = 1;

void check_backend(std::span<const uint8_t> in, size_t pick) {
  test::VirtualClock clock;
  auto server =
      std::make_unique<FuzzServer>(clock, in, pick % 2 == 0, pick / 2 % 2 == 0, 1 + pick / 4 % 512);
  Rfc2217Serial serial("rfc2217://fuzz:2217", clock, std::move(server));
  const OpenResult opened = timed(clock, 5000 + kOver, [&] { return serial.open("COM1"); });
  if (opened != OpenResult::ok) return;
  if (!serial.get_state() || !serial.set_state()) {
    serial.close();
    return;
  }
  check(serial.set_timeouts({kTimeOutMs, kTimeOutMs}));
  bool gone = false;
  for (int i = 0; i < 64 && !gone; ++i) {
    uint8_t byte = 0;
    const ByteIo read = timed(clock, kTimeOutMs + kOver, [&] { return serial.read_byte(byte); });
    const ByteIo written = timed(clock, kTimeOutMs + kOver,
                                 [&] { return serial.write_byte(static_cast<uint8_t>(i)); });
    check(read.count <= 1 && written.count <= 1);
    gone = read.gone || written.gone;
  }
  serial.set_break(true);
  serial.set_break(false);
  timed(clock, 50 + kOver, [&] { return serial.wait_output_drained(50); });
  serial.discard_output();
  serial.close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);
  check_codec(in);
  check_backend(in, size);
  return 0;
}
