// The binary form harness: any bytes load to a Structure or fail with a message, never a fault; what
// loads writes back to bytes that load to the same model and write to themselves, and answers every
// question as a parsed structure must.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "harness.hpp"
#include "quarn/binary_form.hpp"

namespace quarn::fuzz {

namespace {

void load_and_check(std::string_view bytes) {
  const auto loaded = read_binary_form(bytes);
  if (!loaded) {
    check(!loaded.error().message.empty(), "a refusal says why");
    return;
  }
  const std::string written = write_binary_form(*loaded);
  const auto again = read_binary_form(written);
  check(again.has_value(), "what the writer writes loads");
  if (!again) return;
  check(same_model(*loaded, *again), "a loaded structure written and loaded again is the same model");
  check(write_binary_form(*again) == written, "the writer's own bytes write back to themselves");
  // The checksum bytes make varied question parameters.
  const std::size_t tail = std::min<std::size_t>(bytes.size(), 32);
  ask_every_question(*loaded, reinterpret_cast<const std::uint8_t*>(bytes.data() + bytes.size() - tail), tail);
}

}  // namespace

void binary_form(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  load_and_check(bytes);
  // A fuzzer cannot guess a CRC: with the checksum made right, the checks behind it are reached.
  if (size < 16) return;
  std::string sealed(bytes);
  const auto crc = static_cast<std::uint32_t>(
      crc32_z(0, reinterpret_cast<const Bytef*>(sealed.data()), sealed.size() - 4));
  std::memcpy(sealed.data() + sealed.size() - 4, &crc, 4);
  if (sealed != bytes) load_and_check(sealed);
}

}  // namespace quarn::fuzz
