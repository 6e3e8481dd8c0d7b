// Received bytes that arrive in pieces cut anywhere show, over the presses
// of "接收資料", as the whole would show at once: Receive holds a cut
// character's first bytes back for the next press. The input's first byte
// picks the locale's encoding (even: UTF-8, odd: Big5), the second how many
// cuts, the next ones how long each piece is; the rest is the line's bytes.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform.h"
#include "scripted_device.h"
#include "serial.h"
#include "text.h"

namespace {

void UseLocale(const char* name) {
  if (std::setlocale(LC_ALL, name)) return;
  std::fprintf(stderr, "no locale %s under LOCPATH\n", name);
  std::abort();
}

// Presses until nothing is left waiting, appending what each shows.
void PressAll(std::string& shown) {
  do {
    const auto text = serial::Receive();
    if (!text) std::abort();
    shown += *text;
  } while (serial::CurrentDevice().Waiting(serial::hCom) != 0u);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (input.size() < 2) return 0;
  static int encoding = -1;  // setlocale only on a change: it is slow
  if (input[0] % 2 != encoding) {
    encoding = input[0] % 2;
    UseLocale(encoding ? "zh_TW.BIG5" : "zh_TW.UTF-8");
  }
  std::size_t cuts = static_cast<unsigned char>(input[1]) % 8;
  input.remove_prefix(2);
  if (input.size() < cuts) return 0;
  std::string_view lengths = input.substr(0, cuts);
  std::string_view bytes = input.substr(cuts);

  static test::ScriptedDevice device;
  serial::UseDevice(&device);
  serial::hCom = 0;
  serial::Open(0);
  device.queue.clear();

  std::string shown;
  const std::string_view whole = bytes;
  for (char length : lengths) {
    const std::size_t n = std::min<std::size_t>(static_cast<unsigned char>(length), bytes.size());
    device.queue.append(bytes.substr(0, n));
    bytes.remove_prefix(n);
    PressAll(shown);
  }
  // The rest, and a line break that ends any character still cut.
  device.queue.append(bytes);
  device.queue += '\n';
  PressAll(shown);

  if (shown != serial::ReceivedText(std::string(whole) + '\n')) {
    std::fprintf(stderr, "shown over the presses differs from the whole\n");
    std::abort();
  }
  return 0;
}
