// Known-answer vectors: the JSON Lines files under tests/data/vectors.
//
// Each line is one object: "name", "call", optional "args" (strings), the
// input as "input" (text), "input_b64" (bytes, base64) or "input_gen"
// ({"repeat": S, "count": N, "suffix": T}: S repeated N times, then T),
// "expected" (text) and optional "ok" (boolean). A generated input (tens of
// MB) is built by input_bytes() only when a test runs, so that registering
// the tests of a file stays cheap.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/reader.h"

#ifndef KORVANE_TEST_DATA
#error "KORVANE_TEST_DATA must name the tests/data directory"
#endif

namespace korvane::vectors {

struct Vector {
  struct Generator {
    std::string repeat;
    uint64_t count = 0;
    std::string suffix;
  };

  std::string name;
  std::string call;
  std::vector<std::string> args;
  std::string input;  // the input bytes from "input" or "input_b64"
  std::optional<Generator> input_gen;
  std::string expected;
  std::optional<bool> ok;
};

// The input bytes of v, whatever form the file gave them in.
inline std::string input_bytes(const Vector& v) {
  if (!v.input_gen) return v.input;
  std::string out;
  out.reserve(v.input_gen->repeat.size() * v.input_gen->count + v.input_gen->suffix.size());
  for (uint64_t i = 0; i < v.input_gen->count; ++i) out += v.input_gen->repeat;
  return out + v.input_gen->suffix;
}

namespace vectors_detail {

inline std::string decode_base64(std::string_view text) {
  static constexpr std::string_view kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text.substr(0, text.find('='))) {
    const size_t v = kDigits.find(c);
    if (v == std::string_view::npos) throw std::runtime_error("bad base64 character");
    bits = (bits << 6) | static_cast<uint32_t>(v);
    if ((count += 6) >= 8) out += static_cast<char>((bits >> (count -= 8)) & 0xFF);
  }
  return out;
}

inline std::string string_member(const json::JsonValue& object, std::string_view key) {
  const json::JsonValue* v = object.find(key);
  return v != nullptr && v->if_string() != nullptr ? std::string(*v->if_string()) : std::string();
}

inline Vector vector_from_line(std::string_view line) {
  const json::JsonValue v = json::parse_json(line);
  Vector out{string_member(v, "name"), string_member(v, "call"), {}, string_member(v, "input"), {},
             string_member(v, "expected"), {}};
  if (const json::JsonValue* args = v.find("args"); args != nullptr && args->if_array() != nullptr) {
    for (const json::JsonValue& a : *args->if_array()) out.args.emplace_back(*a.if_string());
  }
  if (const json::JsonValue* ok = v.find("ok"); ok != nullptr && ok->if_bool() != nullptr) out.ok = *ok->if_bool();
  if (v.find("input_b64") != nullptr) out.input = decode_base64(string_member(v, "input_b64"));
  if (const json::JsonValue* gen = v.find("input_gen"); gen != nullptr && gen->if_object() != nullptr) {
    out.input_gen = Vector::Generator{string_member(*gen, "repeat"), *gen->find("count")->if_uint(),
                                      string_member(*gen, "suffix")};
  }
  return out;
}

}  // namespace vectors_detail

// The vectors of tests/data/vectors/<file_name>, in file order. Throws when
// the file is missing or a line is not a vector.
inline std::vector<Vector> load_vectors(std::string_view file_name) {
  const std::string path = std::string(KORVANE_TEST_DATA) + "/vectors/" + std::string(file_name);
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot open " + path);
  std::vector<Vector> out;
  for (std::string line; std::getline(file, line);) {
    if (!line.empty()) out.push_back(vectors_detail::vector_from_line(line));
  }
  return out;
}

// A GoogleTest parameter name for a vector: its position and the letters and
// digits of its name.
inline std::string vector_test_name(const ::testing::TestParamInfo<Vector>& info) {
  std::string name = std::to_string(info.index) + "_";
  for (const char c : info.param.name) {
    const bool kept = std::isalnum(static_cast<unsigned char>(c)) != 0;
    if (kept || name.back() != '_') name += kept ? c : '_';
  }
  return name;
}

// So that failing parameterized tests print the vector's name, not its bytes.
inline void PrintTo(const Vector& v, std::ostream* os) { *os << v.name; }

}  // namespace korvane::vectors
