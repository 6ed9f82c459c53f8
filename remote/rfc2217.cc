#include "remote/rfc2217.h"

#include <algorithm>
#include <cctype>

namespace chipferry::rfc2217 {
namespace {

// What we do on our side, and let the server do on its side.
bool we_do(uint8_t option) {
  return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}
bool server_may(uint8_t option) { return option == kBinary || option == kSuppressGoAhead; }

constexpr std::string_view kScheme = "rfc2217://";

void put_escaped(uint8_t byte, std::string& out) {
  out += static_cast<char>(byte);
  if (byte == kIac) out += static_cast<char>(kIac);
}

}  // namespace

void Client::start() {
  for (const uint8_t option : {kBinary, kSuppressGoAhead, kComPort}) {
    if (us_[option] == State::off) {
      us_[option] = State::asked;
      send_option(kWill, option);
    }
  }
  for (const uint8_t option : {kBinary, kSuppressGoAhead}) {
    if (him_[option] == State::off) {
      him_[option] = State::asked;
      send_option(kDo, option);
    }
  }
}

void Client::send_data(uint8_t byte) { put_escaped(byte, out); }

std::shared_ptr<const Request> Client::ask(Setting setting) {
  out += static_cast<char>(kIac);
  out += static_cast<char>(kSb);
  out += static_cast<char>(kComPort);
  out += static_cast<char>(setting.command);
  if (setting.command == Command::set_baud_rate) {
    for (int shift = 24; shift >= 0; shift -= 8)
      put_escaped(static_cast<uint8_t>(setting.value >> shift), out);
  } else {
    put_escaped(static_cast<uint8_t>(setting.value), out);
  }
  out += static_cast<char>(kIac);
  out += static_cast<char>(kSe);
  if (waiting_.size() == kMaxWaiting) waiting_.pop_front();
  waiting_.push_back(std::make_shared<Request>(Request{setting, std::nullopt}));
  return waiting_.back();
}

void Client::send_option(uint8_t verb, uint8_t option) {
  out += static_cast<char>(kIac);
  out += static_cast<char>(verb);
  out += static_cast<char>(option);
}

// Only the answers to the server's own requests are held to kMaxOut: what
// we send of our own accord is the caller's to bound.
void Client::answer_option(uint8_t verb, uint8_t option) {
  if (out.size() + 3 > kMaxOut) {
    if (overrun_ == Overrun::none) overrun_ = Overrun::answers;
    return;
  }
  send_option(verb, option);
}

void Client::keep_data(uint8_t byte) {
  if (data.size() < kMaxData) {
    data.push_back(byte);
  } else if (overrun_ == Overrun::none) {
    overrun_ = Overrun::data;
  }
}

bool Client::settled() const {
  for (int option = 0; option < 256; ++option) {
    if (us_[option] == State::asked || him_[option] == State::asked) return false;
  }
  return true;
}

void Client::take(std::span<const uint8_t> in) {
  for (const uint8_t byte : in) {
    switch (parse_) {
      case Parse::data:
        if (byte == kIac) {
          parse_ = Parse::iac;
        } else {
          keep_data(byte);
        }
        break;
      case Parse::iac:
        parse_ = Parse::data;
        if (byte == kIac) {
          keep_data(byte);
        } else if (byte >= kWill) {
          verb_ = byte;
          parse_ = Parse::verb;
        } else if (byte == kSb) {
          sb_size_ = 0;
          sb_overflow_ = false;
          parse_ = Parse::sb;
        }
        // The rest (NOP, GA, AYT, a lone SE, ...) mean nothing to a
        // serial line.
        break;
      case Parse::verb:
        parse_ = Parse::data;
        negotiate(verb_, byte);
        break;
      case Parse::sb:
        if (byte == kIac) {
          parse_ = Parse::sb_iac;
        } else {
          keep_in_sb(byte);
        }
        break;
      case Parse::sb_iac:
        if (byte == kIac) {
          parse_ = Parse::sb;
          keep_in_sb(byte);
        } else if (byte == kSe) {
          parse_ = Parse::data;
          subnegotiation();
        } else {
          // A subnegotiation cut short by another command: drop it, and
          // take the command as a command.
          parse_ = Parse::iac;
          take(std::span<const uint8_t>(&byte, 1));
        }
        break;
    }
  }
}

void Client::keep_in_sb(uint8_t byte) {
  if (sb_size_ < sizeof sb_) {
    sb_[sb_size_++] = byte;
  } else {
    sb_overflow_ = true;
  }
}

void Client::negotiate(uint8_t verb, uint8_t option) {
  const bool our_side = verb == kDo || verb == kDont;
  State& state = our_side ? us_[option] : him_[option];
  const bool yes = verb == kDo || verb == kWill;
  const bool supported = our_side ? we_do(option) : server_may(option);
  if (state == State::asked) {
    // The answer to our request; it needs none in return.
    state = yes ? State::on : State::off;
    return;
  }
  if (yes == (state == State::on)) return;  // nothing changes: no answer
  if (yes && !supported) {
    answer_option(our_side ? kWont : kDont, option);
    return;
  }
  state = yes ? State::on : State::off;
  answer_option(our_side ? (yes ? kWill : kWont) : (yes ? kDo : kDont), option);
}

void Client::subnegotiation() {
  if (sb_overflow_ || sb_size_ < 3 || sb_[0] != kComPort || sb_[1] <= kServerOffset) return;
  const auto command = static_cast<Command>(sb_[1] - kServerOffset);
  const size_t size = sb_size_ - 2;
  if (size != (command == Command::set_baud_rate ? 4u : 1u)) return;
  // Notifications, and the flow control of the server's own buffers,
  // answer nothing we asked.
  const auto request = std::find_if(waiting_.begin(), waiting_.end(),
                                    [&](const auto& r) { return r->asked.command == command; });
  if (request == waiting_.end()) return;
  uint32_t value = 0;
  for (size_t i = 0; i < size; ++i) value = value << 8 | sb_[2 + i];
  (*request)->answer = value;
  waiting_.erase(request);
}

bool is_url(std::string_view name) {
  if (name.size() < kScheme.size()) return false;
  for (size_t i = 0; i < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(name[i])) != kScheme[i]) return false;
  }
  return true;
}

namespace {

constexpr const char* kForm = " (the form is rfc2217://HOST:PORT)";

// Takes the host off the front of `rest`, which keeps what follows it.
bool take_host(std::string_view& rest, std::string_view& host, std::string& problem) {
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) {
      problem = "the IPv6 address has no closing bracket";
      return false;
    }
    host = rest.substr(1, close - 1);
    rest = rest.substr(close + 1);
  } else {
    const size_t colon = rest.find(':');
    host = rest.substr(0, colon);
    if (host.find_first_of("[]/") != std::string_view::npos) {
      problem = std::string("unexpected text in the host name") + kForm;
      return false;
    }
    if (colon != std::string_view::npos && rest.find(':', colon + 1) != std::string_view::npos) {
      problem = "an IPv6 address goes in brackets, as in rfc2217://[::1]:2217";
      return false;
    }
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon);
  }
  // Longer than any name a resolver takes.
  if (host.empty() || host.size() > 253) {
    problem = host.empty() ? std::string("no host") + kForm : "the host name is too long";
    return false;
  }
  for (const char c : host) {
    if (std::iscntrl(static_cast<unsigned char>(c)) != 0 || c == ' ') {
      problem = "the host name holds a blank or a control character";
      return false;
    }
  }
  return true;
}

// ":PORT", and nothing after it.
bool read_port(std::string_view rest, uint16_t& port, std::string& problem) {
  if (rest.size() <= 1 || rest.front() != ':') {
    problem =
        std::string(rest.size() <= 1 ? "no port number" : "unexpected text after the host") + kForm;
    return false;
  }
  rest.remove_prefix(1);
  uint32_t number = 0;
  size_t digits = 0;
  while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9' && number <= 65535) {
    number = number * 10 + static_cast<uint32_t>(rest[digits] - '0');
    ++digits;
  }
  if (digits == 0 || number == 0 || number > 65535) {
    problem = "the port number must be 1 to 65535";
    return false;
  }
  if (digits != rest.size()) {
    problem = "unexpected text after the port number: " + std::string(rest.substr(digits));
    return false;
  }
  port = static_cast<uint16_t>(number);
  return true;
}

}  // namespace

bool parse_url(std::string_view url, Address& address, std::string& problem) {
  if (!is_url(url)) {
    problem = "not an rfc2217:// URL";
    return false;
  }
  std::string_view rest = url.substr(kScheme.size());
  std::string_view host;
  uint16_t port = 0;
  if (!take_host(rest, host, problem) || !read_port(rest, port, problem)) return false;
  address.host = std::string(host);
  address.port = port;
  return true;
}

}  // namespace chipferry::rfc2217
