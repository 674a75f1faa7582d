#include "imaging/byte_reader.h"

#include "imaging/checked.h"

namespace skalo {

std::vector<std::uint8_t> ReadStreamRest(TStream& stream) {
  const std::uint64_t size = stream.Size();
  const std::uint64_t pos = stream.Position();
  const std::uint64_t rest = pos < size ? size - pos : 0;
  CheckAllocation(rest);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(rest));
  std::size_t got = 0;
  while (got < bytes.size()) {
    const std::size_t n = stream.Read(bytes.data() + got, bytes.size() - got);
    if (n == 0) break;
    got += n;
  }
  bytes.resize(got);
  return bytes;
}

}  // namespace skalo
