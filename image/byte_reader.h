// ByteReader: bounds-checked little-endian reads over a block of bytes that a decoder does
// not trust.
//
// Every read names the bytes it needs and fails, leaving its output alone, when any of them
// lies beyond the end; offsets are 64-bit so that a field read from the data cannot wrap
// the check around.
#pragma once

#include <cstdint>

class ByteReader {
 public:
  // A null data address reads as an empty block.
  ByteReader(const uint8_t* data, uint64_t size) : data_(data), size_(data ? size : 0) {}

  uint64_t Size() const { return size_; }

  // The count bytes at offset, or null when any of them lies past the end.
  const uint8_t* At(uint64_t offset, uint64_t count) const {
    if (offset > size_ || count > size_ - offset) return nullptr;
    return data_ + offset;
  }

  bool U16At(uint64_t offset, uint16_t* value) const {
    const uint8_t* bytes = At(offset, 2);
    if (bytes == nullptr) return false;
    *value = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
    return true;
  }

  bool U32At(uint64_t offset, uint32_t* value) const {
    const uint8_t* bytes = At(offset, 4);
    if (bytes == nullptr) return false;
    *value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
             static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return true;
  }

  bool I32At(uint64_t offset, int32_t* value) const {
    uint32_t bits = 0;
    if (!U32At(offset, &bits)) return false;
    *value = static_cast<int32_t>(bits);
    return true;
  }

  // Sequential reading, for streams such as run-length data.
  void Seek(uint64_t offset) { position_ = offset; }

  bool Next(uint8_t* value) {
    const uint8_t* byte = At(position_, 1);
    if (byte == nullptr) return false;
    *value = *byte;
    ++position_;
    return true;
  }

 private:
  const uint8_t* data_;
  uint64_t size_;
  uint64_t position_ = 0;
};
