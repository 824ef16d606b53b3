// A minimal stream interface (read, write, seek, resize) and the stream whose
// whole content is one byte string, which the packed-string layer writes its
// output into and reads its input from.
#pragma once

#include <cstdint>
#include <string>

namespace kestrel {

// Where a seek counts from. Codes other than these three are accepted and
// leave the position where it is.
enum class SeekOrigin : std::uint16_t { Beginning = 0, Current = 1, End = 2 };

class TStream {
 public:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  virtual ~TStream() = default;

  // Copies up to `count` bytes into `buffer`; returns how many were copied.
  virtual std::int32_t Read(void* buffer, std::int32_t count) = 0;
  // Copies `count` bytes from `buffer`; returns how many were written.
  virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;
  // Moves the position and returns the new one.
  virtual std::int32_t Seek(std::int32_t offset, SeekOrigin origin) = 0;
  virtual void SetSize(std::int32_t new_size) = 0;

  std::int32_t Position() { return Seek(0, SeekOrigin::Current); }
  void SetPosition(std::int32_t position) { Seek(position, SeekOrigin::Beginning); }
  // Learns the size by seeking to the end and back.
  std::int32_t Size();
};

// A stream over a byte string of any bytes. The position stays within
// 0 .. size; the size is limited to what a 32-bit position can address.
// Negative counts and sizes raise ERangeError.
class TRawByteStringStream : public TStream {
 public:
  // The content becomes a copy of `initial`, the position 0; ERangeError
  // when it is longer than a 32-bit position can address.
  explicit TRawByteStringStream(std::string initial = {});

  // Reads min(count, size - position) bytes. Unlike most streams, reading at
  // the end (or from an empty stream) raises ERangeError instead of
  // returning 0; callers rely on that to detect truncated input.
  std::int32_t Read(void* buffer, std::int32_t count) override;
  // Overwrites at the position, lengthening the content as needed.
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  // From the end the offset counts backwards: Seek(3, End) on 10 bytes gives
  // 7. The result is clamped to 0 .. size.
  std::int32_t Seek(std::int32_t offset, SeekOrigin origin) override;
  // Keeps the common prefix; added bytes are zero. A position beyond the new
  // size moves back to it.
  void SetSize(std::int32_t new_size) override;

  // The bytes Read(count) would deliver, as a string, with the same rules.
  std::string ReadString(std::int32_t count);
  void WriteString(const std::string& bytes);

  // The whole content, whatever the position.
  const std::string& Data() const { return data_; }

 private:
  std::int32_t CurrentSize() const { return static_cast<std::int32_t>(data_.size()); }
  // How many bytes a read of `count` delivers; checks the count and the position.
  std::int32_t Readable(std::int32_t count) const;

  std::string data_;
  std::int32_t position_ = 0;
};

}  // namespace kestrel
