// Names of table-driven test cases: a case's own words, with every character
// that a test name cannot hold made "_".
#pragma once

#include <cctype>
#include <string>

inline std::string CaseName(std::string words) {
  for (char& ch : words)
    if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return words;
}
