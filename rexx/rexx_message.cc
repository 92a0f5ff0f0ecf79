#include "rexx/rexx_message.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr char kRequestMagic[4] = {'R', 'X', 'M', '1'};
constexpr char kReplyMagic[4] = {'R', 'X', 'R', '1'};

class Writer {
 public:
  explicit Writer(std::span<uint8_t> out) : out_(out) {}
  void Bytes(const void* data, size_t size) {
    if (!ok_ || size > out_.size() - used_) {
      ok_ = false;
      return;
    }
    if (size > 0) memcpy(out_.data() + used_, data, size);
    used_ += size;
  }
  void Uint(uint64_t value, int width) {
    uint8_t bytes[4];
    for (int i = 0; i < width; ++i) bytes[i] = (value >> (8 * i)) & 0xff;
    Bytes(bytes, width);
  }
  size_t Size() const { return ok_ ? used_ : 0; }

 private:
  std::span<uint8_t> out_;
  size_t used_ = 0;
  bool ok_ = true;
};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> in) : in_(in) {}
  bool Bytes(size_t size, std::string_view& bytes) {
    if (size > in_.size() - used_) return false;
    bytes = std::string_view(reinterpret_cast<const char*>(in_.data()) + used_,
                             size);
    used_ += size;
    return true;
  }
  bool Uint(int width, uint32_t& value) {
    std::string_view bytes;
    if (!Bytes(width, bytes)) return false;
    value = 0;
    for (int i = width - 1; i >= 0; --i) {
      value = (value << 8) | static_cast<uint8_t>(bytes[i]);
    }
    return true;
  }
  bool Magic(const char (&magic)[4]) {
    std::string_view bytes;
    return Bytes(4, bytes) && bytes == std::string_view(magic, 4);
  }
  bool Text(int length_width, std::string_view& text) {
    uint32_t length;
    return Uint(length_width, length) && Bytes(length, text);
  }
  bool AtEnd() const { return used_ == in_.size(); }

 private:
  std::span<const uint8_t> in_;
  size_t used_ = 0;
};

}  // namespace

Argstring::~Argstring() { DeleteArgstring(*this); }

Argstring::Argstring(Argstring&& other) noexcept
    : text_(std::exchange(other.text_, nullptr)) {}

Argstring& Argstring::operator=(Argstring&& other) noexcept {
  if (this != &other) {
    DeleteArgstring(*this);
    text_ = std::exchange(other.text_, nullptr);
  }
  return *this;
}

Argstring CreateArgstring(std::string_view text) {
  Argstring string;
  string.text_ = static_cast<char*>(malloc(text.size() + 1));
  if (string.text_ == nullptr) return string;
  if (!text.empty()) memcpy(string.text_, text.data(), text.size());
  string.text_[text.size()] = '\0';
  return string;
}

void DeleteArgstring(Argstring& string) {
  free(string.text_);
  string.text_ = nullptr;
}

void CreateRexxMsg(RexxMsg& message, const char* file_extension,
                   const char* host_address) {
  message = RexxMsg();
  message.rm_FileExt = file_extension != nullptr ? file_extension : "";
  message.rm_CommAddr = host_address != nullptr ? host_address : "";
}

size_t EncodeRexxRequest(const RexxMsg& message, std::span<uint8_t> out) {
  size_t count = 0;
  while (count < kMaxRexxArgs && message.rm_Args[count] != nullptr) ++count;
  if (count == 0) return 0;
  const size_t address_length = strlen(message.rm_CommAddr);
  const size_t extension_length = strlen(message.rm_FileExt);
  if (address_length > 0xffff || extension_length > 0xffff) return 0;
  Writer writer(out.size() > kMaxRexxDatagram ? out.first(kMaxRexxDatagram)
                                              : out);
  writer.Bytes(kRequestMagic, 4);
  writer.Uint(message.rm_Action, 4);
  writer.Uint(address_length, 2);
  writer.Bytes(message.rm_CommAddr, address_length);
  writer.Uint(extension_length, 2);
  writer.Bytes(message.rm_FileExt, extension_length);
  writer.Uint(count, 2);
  for (size_t i = 0; i < count; ++i) {
    const size_t length = strlen(message.rm_Args[i]);
    if (length > kMaxRexxDatagram) return 0;
    writer.Uint(length, 4);
    writer.Bytes(message.rm_Args[i], length);
  }
  return writer.Size();
}

bool DecodeRexxRequest(std::span<const uint8_t> datagram,
                       ReceivedRexxMsg& message) {
  if (datagram.size() > kMaxRexxDatagram) return false;
  Reader reader(datagram);
  std::string_view address, extension;
  uint32_t count;
  if (!reader.Magic(kRequestMagic) || !reader.Uint(4, message.action) ||
      !reader.Text(2, address) || !reader.Text(2, extension) ||
      !reader.Uint(2, count) || count < 1 || count > kMaxRexxArgs) {
    return false;
  }
  message.host_address.assign(address);
  message.file_extension.assign(extension);
  message.args.clear();
  for (uint32_t i = 0; i < count; ++i) {
    std::string_view arg;
    if (!reader.Text(4, arg)) return false;
    message.args.emplace_back(arg);
  }
  return reader.AtEnd();
}

size_t EncodeRexxReply(int32_t result1, const std::string_view* result2,
                       std::span<uint8_t> out) {
  Writer writer(out.size() > kMaxRexxDatagram ? out.first(kMaxRexxDatagram)
                                              : out);
  writer.Bytes(kReplyMagic, 4);
  writer.Uint(static_cast<uint32_t>(result1), 4);
  writer.Uint(result2 != nullptr ? 1 : 0, 1);
  if (result2 != nullptr) {
    writer.Uint(result2->size(), 4);
    writer.Bytes(result2->data(), result2->size());
  }
  return writer.Size();
}

bool DecodeRexxReply(std::span<const uint8_t> datagram, int32_t& result1,
                     bool& has_result2, std::string_view& result2) {
  if (datagram.size() > kMaxRexxDatagram) return false;
  Reader reader(datagram);
  uint32_t code, flag;
  if (!reader.Magic(kReplyMagic) || !reader.Uint(4, code) ||
      !reader.Uint(1, flag) || flag > 1) {
    return false;
  }
  if (flag == 1 && !reader.Text(4, result2)) return false;
  if (!reader.AtEnd()) return false;
  result1 = static_cast<int32_t>(code);
  has_result2 = flag == 1;
  if (!has_result2) result2 = std::string_view();
  return true;
}
