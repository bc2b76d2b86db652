#include "environ_coding.h"

#include "telnet_codes.h"

#include <algorithm>

namespace veltaro::telnet {

namespace {

struct Wanted {
  bool is_var;       // VAR (true) or USERVAR (false)
  std::string name;  // empty: every variable of that type
};

bool is_code(char c, const EnvironCodes& codes) {
  return c == codes.var || c == codes.value || c == codes.esc || c == codes.uservar;
}

std::vector<Wanted> parse_request(std::string_view request, const EnvironCodes& codes) {
  std::vector<Wanted> wanted;
  for (std::size_t i = 0; i < request.size();) {
    const char type = request[i++];
    if (type != codes.var && type != codes.uservar) continue;  // stray bytes are skipped
    std::string name;
    while (i < request.size() && request[i] != codes.var && request[i] != codes.uservar) {
      if (request[i] == codes.esc && i + 1 < request.size()) ++i;
      name.push_back(request[i++]);
    }
    wanted.push_back({type == codes.var, std::move(name)});
  }
  return wanted;
}

void append_escaped(std::string& out, std::string_view text, const EnvironCodes& codes) {
  for (const char c : text) {
    if (is_code(c, codes)) out.push_back(codes.esc);
    out.push_back(c);
  }
}

struct Variable {
  bool is_var;
  std::string_view name;
  std::string_view value;
};

bool asked_for(const Variable& v, const std::vector<Wanted>& wanted) {
  if (wanted.empty()) return true;
  return std::any_of(wanted.begin(), wanted.end(), [&](const Wanted& w) {
    return w.name.empty() ? w.is_var == v.is_var : w.name == v.name;
  });
}

}  // namespace

std::string environ_reply(std::string_view request, const EnvironCodes& codes,
                          const std::string& username, const Environment& environment) {
  std::vector<Variable> ours;
  if (!username.empty()) ours.push_back({true, "USER", username});
  for (const auto& [name, value] : environment) ours.push_back({false, name, value});

  const std::vector<Wanted> wanted = parse_request(request, codes);
  std::string out(1, static_cast<char>(sub::IS));
  for (const Variable& v : ours) {
    if (!asked_for(v, wanted)) continue;
    out.push_back(v.is_var ? codes.var : codes.uservar);
    append_escaped(out, v.name, codes);
    out.push_back(codes.value);
    append_escaped(out, v.value, codes);
  }
  return out;
}

}  // namespace veltaro::telnet
