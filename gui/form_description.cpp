#include "form_description.h"

#include <cctype>

#include "gui.h"

namespace gui {

namespace {

[[noreturn]] void Malformed(int line, const std::string& what) {
  throw Exception("Form description, line " + std::to_string(line) + ": " + what);
}

bool IsIdentifierStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsIdentifierPart(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool IsIdentifier(std::string_view s) {
  if (s.empty() || !IsIdentifierStart(s.front())) return false;
  for (char c : s)
    if (!IsIdentifierPart(c)) return false;
  return true;
}

// One quoted string at the front of `s`, which is left after its closing quote.
std::string TakeString(std::string_view& s, int line) {
  std::string out;
  std::size_t i = 1;
  for (; i < s.size() && s[i] != '"'; ++i) {
    if (s[i] == '\\') {
      if (++i == s.size() || (s[i] != '"' && s[i] != '\\')) Malformed(line, "bad escape");
    }
    out += s[i];
  }
  if (i == s.size()) Malformed(line, "unterminated string");
  s.remove_prefix(i + 1);
  return out;
}

PropertyValue ParseValue(std::string_view s, int line) {
  PropertyValue value;
  if (s.empty()) Malformed(line, "missing value");
  if (s.front() == '"') {
    value.kind = PropertyValue::Kind::Strings;
    for (;;) {
      value.strings.push_back(TakeString(s, line));
      s = Trim(s);
      if (s.empty()) return value;
      if (s.front() != ',') Malformed(line, "expected ',' between strings");
      s = Trim(s.substr(1));
      if (s.empty() || s.front() != '"') Malformed(line, "expected a string after ','");
    }
  }
  if (IsIdentifier(s)) {
    value.kind = PropertyValue::Kind::Identifier;
    value.identifier = std::string(s);
    return value;
  }
  std::size_t i = s.front() == '-' ? 1 : 0;
  if (i == s.size()) Malformed(line, "bad number");
  for (std::size_t j = i; j < s.size(); ++j)
    if (!std::isdigit(static_cast<unsigned char>(s[j]))) Malformed(line, "bad value");
  if (s.size() - i > 9) Malformed(line, "number out of range");
  value.integer = std::stol(std::string(s));
  return value;
}

}  // namespace

FormDescription ParseFormDescription(std::string_view text) {
  std::vector<ObjectDescription> objects;
  int line = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++line;
    const std::string_view s = Trim(raw);
    if (s.empty() || s.front() == '#') continue;

    if (s.front() == '[') {
      if (s.back() != ']') Malformed(line, "expected ']'");
      const std::string_view inside = s.substr(1, s.size() - 2);
      const std::size_t colon = inside.find(':');
      if (colon == std::string_view::npos) Malformed(line, "expected [Name: Class]");
      ObjectDescription object;
      object.name = std::string(Trim(inside.substr(0, colon)));
      object.className = std::string(Trim(inside.substr(colon + 1)));
      object.line = line;
      if (!IsIdentifier(object.name) || !IsIdentifier(object.className))
        Malformed(line, "expected [Name: Class]");
      objects.push_back(std::move(object));
      continue;
    }

    const std::size_t equals = s.find('=');
    if (equals == std::string_view::npos) Malformed(line, "expected Name = value");
    if (objects.empty()) Malformed(line, "property before the first [Name: Class]");
    Property property;
    property.name = std::string(Trim(s.substr(0, equals)));
    property.line = line;
    if (!IsIdentifier(property.name)) Malformed(line, "bad property name");
    property.value = ParseValue(Trim(s.substr(equals + 1)), line);
    objects.back().properties.push_back(std::move(property));
  }
  if (objects.empty()) Malformed(line, "no form");

  FormDescription description;
  description.form = std::move(objects.front());
  description.controls.assign(std::make_move_iterator(objects.begin() + 1),
                              std::make_move_iterator(objects.end()));
  return description;
}

}  // namespace gui
