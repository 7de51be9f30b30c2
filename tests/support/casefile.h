#pragma once
// Test cases as data: one file under tests/data holds many cases, and the test
// that reads it is one loop. A file looks like this:
//
//   # a comment; blank lines are free
//   === the case's name
//   args: -H h --smtp 25,x
//   line: --smtp: '25,x' is not a comma list of ports
//   send: 220 hello\r\n
//   send: 250 ok\r\n
//
// A field is "key: value" (the blank after the colon is not part of the value);
// a key may repeat, and its values keep their order. Values take the escapes
// \r \n \t \s (a blank) \\ and \xHH, and ${NAME} stands for a value the test
// knows only when it runs (a port, a directory), in names too: an unknown name
// fails the load.
#include <map>
#include <string>
#include <vector>

struct Case {
  std::string name;
  std::string where;  // "file:line", for the failure message
  std::vector<std::pair<std::string, std::string>> fields;  // placeholders filled, escapes not yet decoded

  bool has(const std::string& key) const;
  // The first value of key, decoded; fallback when the case has none.
  std::string get(const std::string& key, const std::string& fallback = "") const;
  // Every value of key in order, decoded.
  std::vector<std::string> all(const std::string& key) const;
  // The first value of key split at blanks, each word decoded (\s keeps a blank inside a word; '' is an
  // empty word).
  std::vector<std::string> words(const std::string& key) const;
  // The first value of key as a whole number; fallback when the case has none.
  long number(const std::string& key, long fallback = 0) const;
};

using CaseVars = std::map<std::string, std::string>;

// Every case of tests/data/<name>, with ${NAME} filled from vars.
std::vector<Case> LoadCases(const std::string& name, const CaseVars& vars = {});
// The cases whose name starts with prefix (a file may hold several tables).
std::vector<Case> CasesOf(const std::vector<Case>& cases, const std::string& prefix);
// \r \n \t \s \\ \xHH decoded.
std::string Unescape(const std::string& text);
// Bytes shown with the escapes above, so a failing row prints the way it is written.
std::string Escape(const std::string& bytes);

// The trace every row of a data-driven loop names itself with.
#define CASE_TRACE(c) SCOPED_TRACE((c).where + ": " + (c).name)
