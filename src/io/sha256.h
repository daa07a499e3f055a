#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace grouptrace {

// SHA-256 (FIPS 180-4) of a stream of bytes, fed as they are written: a
// manifest records the hash of a trace that was never held whole.
class Sha256 {
 public:
  Sha256();
  void update(const char* data, std::size_t size);
  // The digest as 64 lowercase hexadecimal digits; ends the hashing.
  std::string hex();

 private:
  void block(const unsigned char* data);

  std::array<std::uint32_t, 8> state_;
  std::array<unsigned char, 64> pending_{};
  std::size_t pendingSize_ = 0;
  std::uint64_t length_ = 0;  // bytes hashed
};

}  // namespace grouptrace
