// Command messages as they cross a public port (see docs/public-ports.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr uint32_t RXFF_RESULT = 0x00020000;
inline constexpr size_t kMaxRexxArgs = 16;
// The largest request or reply datagram.
inline constexpr size_t kMaxRexxDatagram = 65536;

// A result string, allocated for the receiver of a reply, who releases it
// with DeleteArgstring (here: when the Argstring goes out of scope).
class Argstring {
 public:
  Argstring() = default;
  ~Argstring();
  Argstring(Argstring&& other) noexcept;
  Argstring& operator=(Argstring&& other) noexcept;
  Argstring(const Argstring&) = delete;
  Argstring& operator=(const Argstring&) = delete;

  // Null when there is no string.
  const char* get() const { return text_; }
  explicit operator bool() const { return text_ != nullptr; }

 private:
  friend Argstring CreateArgstring(std::string_view text);
  friend void DeleteArgstring(Argstring& string);
  char* text_ = nullptr;
};

// A zero-terminated copy of `text`; empty (null) when memory is short.
Argstring CreateArgstring(std::string_view text);
void DeleteArgstring(Argstring& string);

// The command message as the client fills it in.
struct RexxMsg {
  uint32_t rm_Action = 0;
  const char* rm_Args[kMaxRexxArgs] = {};  // rm_Args[0]: the command text
  const char* rm_CommAddr = "";  // host address: the destination port
  const char* rm_FileExt = "";   // file extension for macros
  // Filled from the host's reply.
  int32_t rm_Result1 = 0;
  Argstring rm_Result2;  // only when the host sent one
};

// A message addressed to `host_address`, with the file extension given.
void CreateRexxMsg(RexxMsg& message, const char* file_extension,
                   const char* host_address);

// The command message as the host receives it.
struct ReceivedRexxMsg {
  uint32_t action = 0;
  std::string host_address;
  std::string file_extension;
  std::vector<std::string> args;
};

// Request: "RXM1", action u32, host address (u16 length + bytes), file
// extension (u16 + bytes), argument count u16 (1..16), each argument
// u32 length + bytes; little-endian. Returns the size, 0 when the message
// has no argument 0 or does not fit `out`.
size_t EncodeRexxRequest(const RexxMsg& message, std::span<uint8_t> out);
bool DecodeRexxRequest(std::span<const uint8_t> datagram,
                       ReceivedRexxMsg& message);

// Reply: "RXR1", result1 i32, result-2 flag u8 (0 or 1), when 1 a u32
// length + bytes. Nothing may follow.
size_t EncodeRexxReply(int32_t result1, const std::string_view* result2,
                       std::span<uint8_t> out);
bool DecodeRexxReply(std::span<const uint8_t> datagram, int32_t& result1,
                     bool& has_result2, std::string_view& result2);
