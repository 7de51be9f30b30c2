#include "support/casefile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace {

// Each ${NAME} replaced by its value, which is not searched again.
std::string Expand(std::string text, const CaseVars& vars, const std::string& where) {
  for (size_t open = text.find("${"); open != std::string::npos; open = text.find("${", open)) {
    const size_t close = text.find('}', open);
    if (close == std::string::npos) {
      ADD_FAILURE() << where << ": '${' without '}'";
      break;
    }
    const std::string name = text.substr(open + 2, close - open - 2);
    const auto it = vars.find(name);
    if (it == vars.end()) ADD_FAILURE() << where << ": unknown placeholder ${" << name << "}";
    const std::string value = it == vars.end() ? "" : it->second;
    text.replace(open, close + 1 - open, value);
    open += value.size();
  }
  return text;
}

}  // namespace

std::string Unescape(const std::string& text) {
  static const std::string named = "rnts", bytes = "\r\n\t ", hex = "0123456789abcdefABCDEF";
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (named.find(c) != std::string::npos) {
      out += bytes[named.find(c)];
    } else if (c == 'x' && i + 2 < text.size() && text.find_first_not_of(hex, i + 1) > i + 2) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += c;  // \\ and any other escaped character stand for themselves
    }
  }
  return out;
}

std::string Escape(const std::string& bytes) {
  static const char hex[] = "0123456789ABCDEF";
  static const std::string special = "\r\n\\", named = "rn\\";
  std::string out;
  for (const unsigned char c : bytes) {
    if (special.find(static_cast<char>(c)) != std::string::npos) {
      out += std::string("\\") + named[special.find(static_cast<char>(c))];
    } else if (c < 0x20 || c == 0x7F) {
      out += std::string("\\x") + hex[c >> 4] + hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool Case::has(const std::string& key) const {
  return std::any_of(fields.begin(), fields.end(), [&key](const auto& field) { return field.first == key; });
}

std::string Case::get(const std::string& key, const std::string& fallback) const {
  const std::vector<std::string> values = all(key);
  return values.empty() ? fallback : values[0];
}

std::vector<std::string> Case::all(const std::string& key) const {
  std::vector<std::string> values;
  for (const auto& [k, v] : fields) {
    if (k == key) values.push_back(Unescape(v));
  }
  return values;
}

std::vector<std::string> Case::words(const std::string& key) const {
  std::vector<std::string> out;
  for (const auto& [k, v] : fields) {
    if (k != key) continue;
    std::istringstream in(v);
    for (std::string word; in >> word;) out.push_back(word == "''" ? std::string() : Unescape(word));
    break;
  }
  return out;
}

long Case::number(const std::string& key, long fallback) const {
  return has(key) ? std::stol(get(key)) : fallback;
}

std::vector<Case> LoadCases(const std::string& name, const CaseVars& vars) {
  const std::string path = std::string(VELKOR_TEST_DATA_DIR) + "/" + name;
  std::ifstream in(path, std::ios::binary);
  std::vector<Case> cases;
  if (!in) {
    ADD_FAILURE() << path << ": cannot be read";
    return cases;
  }
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::string where = name + ":" + std::to_string(number);
    if (line.empty() || line[0] == '#') continue;
    if (line.rfind("=== ", 0) == 0) {
      cases.push_back({Expand(line.substr(4), vars, where), where, {}});
      continue;
    }
    const size_t colon = line.find(':');
    if (cases.empty() || colon == std::string::npos || colon == 0) {
      ADD_FAILURE() << where << ": not '=== name' nor 'key: value': " << line;
      continue;
    }
    const size_t value = line.compare(colon, 2, ": ") == 0 ? colon + 2 : colon + 1;
    cases.back().fields.emplace_back(line.substr(0, colon), Expand(line.substr(value), vars, where));
  }
  if (cases.empty()) ADD_FAILURE() << path << ": no cases";
  return cases;
}

std::vector<Case> CasesOf(const std::vector<Case>& cases, const std::string& prefix) {
  std::vector<Case> out;
  for (const Case& c : cases) {
    if (c.name.rfind(prefix, 0) == 0) out.push_back(c);
  }
  if (out.empty()) ADD_FAILURE() << "no case is named " << prefix << "...";
  return out;
}
