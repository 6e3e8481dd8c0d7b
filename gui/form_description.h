// The form description: a small text format that fixes a window and every
// control on it. One section per object, the form first, then its controls in
// the order they are created:
//
//   # comment
//   [Form1: TForm1]
//   Caption = "Form1"
//   Left = 233
//   Color = clBtnFace
//
//   [rdCOM: TRadioGroup]
//   Items = "COM1", "COM2"
//
// A value is an integer, an identifier, or one or more quoted strings separated
// by commas. Strings are UTF-8; \" and \\ stand for a quote and a backslash.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace gui {

struct PropertyValue {
  enum class Kind { Integer, Identifier, Strings } kind = Kind::Integer;
  long integer = 0;
  std::string identifier;
  std::vector<std::string> strings;
};

struct Property {
  std::string name;
  PropertyValue value;
  int line = 0;
};

struct ObjectDescription {
  std::string name;
  std::string className;
  std::vector<Property> properties;
  int line = 0;
};

struct FormDescription {
  ObjectDescription form;
  std::vector<ObjectDescription> controls;
};

// Throws Exception naming the line when the text is malformed.
FormDescription ParseFormDescription(std::string_view text);

}  // namespace gui
