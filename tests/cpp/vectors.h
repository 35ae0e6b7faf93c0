// Known-answer vectors: the JSON Lines files under tests/data/vectors.
//
// Each line is one object: "name", "call", optional "args" (strings), the
// input as "input" (text), "input_b64" (bytes, base64) or "input_gen"
// ({"repeat": S, "count": N, "suffix": T}: S repeated N times, then T),
// "expected" (text) and optional "ok" (boolean). load_vectors() reads a file
// with the project's own JSON reader and decodes the input into bytes; a
// generated input (tens of MB) is only described, and input_bytes() builds
// it, so that registering the tests of a file stays cheap.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
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
  const Vector::Generator& gen = *v.input_gen;
  std::string out;
  out.reserve(gen.repeat.size() * gen.count + gen.suffix.size());
  if (gen.repeat.size() == 1) {
    out.assign(gen.count, gen.repeat[0]);
  } else {
    for (uint64_t i = 0; i < gen.count; ++i) out += gen.repeat;
  }
  return out + gen.suffix;
}

namespace vectors_detail {

inline std::string decode_base64(std::string_view text) {
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') {
      v = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      v = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      v = c - '0' + 52;
    } else if (c == '+') {
      v = 62;
    } else if (c == '/') {
      v = 63;
    } else if (c == '=') {
      break;
    } else {
      throw std::runtime_error("bad base64 character");
    }
    bits = (bits << 6) | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

inline const std::string_view* string_member(const json::JsonValue& object, std::string_view key) {
  const json::JsonValue* v = object.find(key);
  return v == nullptr ? nullptr : v->if_string();
}

inline Vector vector_from_line(std::string_view line) {
  const json::JsonValue v = json::parse_json(line);
  Vector out;
  if (const std::string_view* s = string_member(v, "name")) out.name = *s;
  if (const std::string_view* s = string_member(v, "call")) out.call = *s;
  if (const std::string_view* s = string_member(v, "expected")) out.expected = *s;
  if (const json::JsonValue* args = v.find("args"); args != nullptr && args->if_array() != nullptr) {
    for (const json::JsonValue& a : *args->if_array()) out.args.emplace_back(*a.if_string());
  }
  if (const json::JsonValue* ok = v.find("ok"); ok != nullptr && ok->if_bool() != nullptr) out.ok = *ok->if_bool();
  if (const std::string_view* s = string_member(v, "input")) {
    out.input = *s;
  } else if (const std::string_view* b64 = string_member(v, "input_b64")) {
    out.input = decode_base64(*b64);
  } else if (const json::JsonValue* gen = v.find("input_gen"); gen != nullptr && gen->if_object() != nullptr) {
    Vector::Generator g;
    g.repeat = *string_member(*gen, "repeat");
    g.count = *gen->find("count")->if_uint();
    if (const std::string_view* suffix = string_member(*gen, "suffix")) g.suffix = *suffix;
    out.input_gen = std::move(g);
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
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty()) out.push_back(vectors_detail::vector_from_line(line));
  }
  return out;
}

// A GoogleTest parameter name for a vector: its position and the letters and
// digits of its name.
inline std::string vector_test_name(const ::testing::TestParamInfo<Vector>& info) {
  std::string name = std::to_string(info.index) + "_";
  for (const char c : info.param.name) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      name += c;
    } else if (name.back() != '_') {
      name += '_';
    }
  }
  return name;
}

// So that failing parameterized tests print the vector's name, not its bytes.
inline void PrintTo(const Vector& v, std::ostream* os) { *os << v.name; }

}  // namespace korvane::vectors
