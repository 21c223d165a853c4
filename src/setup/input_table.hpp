// The problem input PROB.INP as data: every read of the reader in order and
// every value with its name, type, unit, limits and description.  The reader
// (read_problem) reads and checks by this table, `questrand --describe-input`
// prints it as JSON, and the Python toolkit builds its Problem layout and
// checks from that JSON: one description of the input for all three.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/state.hpp"

namespace questrand {

enum class ValueType { Real, Integer, Logical, Text };

// A check of one value, made as soon as the value (and the switch it depends
// on) has been read.  The error names the value's line.
enum class LimitKind {
  None,
  Positive,     // > 0
  NotNegative,  // >= 0
  Range,        // an integer in low..high (high a number or another value's name)
  AtLeast,      // an integer >= low
  RunName,      // the run-name rules (see input_rules)
};

struct Limit {
  LimitKind kind = LimitKind::None;
  int low = 0;
  int high = 0;
  const char* high_name = nullptr;  // Range: the upper bound is this value ("ni", "nj")
  const char* when = nullptr;       // the check applies only when this switch ...
  bool when_value = true;           // ... has this value
  const char* checked_as = nullptr;  // the value's name in the message of this check (default: what)
};

struct InputValue {
  const char* name;         // the toolkit's name (questrand.Problem field)
  ValueType type;
  const char* what;         // short name, as messages give it
  const char* unit;         // "" when it has none
  const char* description;  // one sentence
  Limit limit;
  void* (*target)(State&);  // where the reader stores it
};

enum class ReadKind {
  Skip,   // `lines.size()` lines consumed whatever they hold
  Label,  // one line consumed whatever it holds
  List,   // a list read of `values`
  Text,   // the first 12 bytes of the next line (the run name)
};

struct InputRead {
  ReadKind kind;
  const char* what;                  // Skip: what the lines are (messages)
  std::vector<const char*> lines;    // Skip, Label: the lines of the commented 64-line file
  std::vector<const char*> values;   // List, Text: value names
};

// A rule over several values, checked after the values it names.
struct InputRule {
  const char* name;
  const char* line_of;  // the value whose line the error names
  const char* description;
};

const std::vector<InputValue>& input_values();
const std::vector<InputRead>& input_reads();
const std::vector<InputRule>& input_rules();

// The value called `name`, or nullptr.
const InputValue* input_value(std::string_view name);

// The table as one JSON document (UTF-8, ends with a newline).
std::string describe_input_json();

}  // namespace questrand
