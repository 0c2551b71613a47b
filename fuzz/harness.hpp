// The fuzz harnesses: each takes one input and aborts when a result breaks a rule that must always
// hold. Shared by the libFuzzer targets and by the replay runner of the normal build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quarn/structure.hpp"

namespace quarn::fuzz {

// Arbitrary bytes as a CIF text: the UTF-8 check, then the parser with atoms_required both ways,
// whole and in pieces.
void text_reader(const std::uint8_t* data, std::size_t size);

// Arbitrary bytes as the content of a .gz file (and of a plain one), through the file source.
void gzip_source(const std::uint8_t* data, std::size_t size);

// A parameter block, then a CIF text; a text that parses is asked every analysis question with the
// parameters as arguments, and the answers are held to their invariants and to the exhaustive scans.
void queries(const std::uint8_t* data, std::size_t size);

// Arbitrary bytes as the binary form of a Structure: read as they are and with their checksum made
// right, so that the checks behind it are reached too; a structure that loads writes back to bytes
// that load to the same model and then write to themselves, and answers every question.
void binary_form(const std::uint8_t* data, std::size_t size);

// Asks `s` every analysis question, with arguments from up to 32 parameter bytes, and holds each answer
// to its rules and to the exhaustive scans (the queries harness, after its parse).
void ask_every_question(const Structure& s, const std::uint8_t* parameters, std::size_t size);

// The harnesses by name ("text", "gzip", "queries", "binary"); nullptr for an unknown name.
using Harness = void (*)(const std::uint8_t*, std::size_t);
Harness harness_named(std::string_view name) noexcept;

// Names the input being run, for the message of a failed check (the replay runner sets it).
void set_input_name(std::string_view name) noexcept;

// Reports a broken rule with the input's name and aborts, so the fuzzer keeps the input.
[[noreturn]] void fail(std::string_view rule);

inline void check(bool holds, std::string_view rule) {
  if (!holds) fail(rule);
}

}  // namespace quarn::fuzz
