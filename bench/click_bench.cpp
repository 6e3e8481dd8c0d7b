// Click to done, in process: the real window on Qt offscreen with COM1 mapped
// to a pseudo-terminal. Receive: the peer has written 1024 bytes and the
// driver counts them; time the click on the receive button until the receive
// memo holds them (and, apart, until the window has repainted). Send: a 64 KiB
// text in the send memo; time the click until the last byte reaches a peer
// thread that drains the far end meanwhile. Every run checks the bytes.
//
//   bench_clicks [RUNS]     prints key=value lines, medians in microseconds
#include <QApplication>
#include <QPushButton>
#include <QTest>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Unit1.h"
#include "backend.h"
#include "device_posix.h"
#include "pty.h"
#include "qt_helpers.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWarmUps = 5;
constexpr std::size_t kSendSize = 64 * 1024;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "bench_clicks: %s\n", what.c_str());
  std::exit(1);
}

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Printable bytes without line breaks, different for each run so that no
// run can pass on what an earlier one left behind.
std::string Pattern(std::size_t size, int run) {
  std::string s(size, ' ');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('!' + (i * 7 + run) % 94);
  return s;
}

TControl* Control(const char* name) {
  auto* control = dynamic_cast<TControl*>(Form1->FindComponent(name));
  if (!control) Fail(std::string("no control ") + name);
  return control;
}

QPushButton* Button(QWidget* window, const char* caption) {
  auto* button = test::ChildWithText<QPushButton>(window, QString::fromUtf8(caption));
  if (!button) Fail(std::string("no button ") + caption);
  return button;
}

void Report(const char* key, const std::vector<double>& v) {
  std::printf("%s_us=%.1f min_us=%.1f max_us=%.1f runs=%zu\n", key, Median(v),
              *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()),
              v.size());
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 51;
  if (runs < 1) Fail("RUNS must be positive");
  setenv("QT_QPA_PLATFORM", "offscreen", 0);

  test::Pty com1;
  serial::PosixDevice device{
      [&](const std::string& port) { return port == "COM1" ? com1.path() : std::string(); }};
  serial::UseDevice(&device);

  Application->Initialize();
  Application->CreateForm(Form1);
  gui::backend::Show(Form1->Handle());
  QWidget* window = test::WindowTitled("Form1");
  if (!window) Fail("no window Form1");
  QCoreApplication::processEvents();

  QTest::mouseClick(Button(window, "開啟通訊埠"), Qt::LeftButton);
  if (!serial::IsOpen()) Fail("COM1 did not open");

  QPushButton* receive = Button(window, "接收資料");
  TControl* mReceive = Control("mReceive");
  std::vector<double> shown, painted;
  for (int run = 0; run < kWarmUps + runs; ++run) {
    const std::string bytes = Pattern(serial::kReceiveLimit, run);
    com1.Write(bytes);
    if (!test::WaitFor([&] { return device.Waiting(serial::hCom) == bytes.size(); }))
      Fail("the driver never counted the 1024 bytes");
    const auto start = Clock::now();
    QTest::mouseClick(receive, Qt::LeftButton);
    const auto set = Clock::now();
    QCoreApplication::processEvents();  // the memo's repaint, on the backing store
    const auto repainted = Clock::now();
    if (mReceive->Text() != bytes) Fail("the receive memo does not show the bytes sent");
    if (run < kWarmUps) continue;
    shown.push_back(Micros(set - start));
    painted.push_back(Micros(repainted - start));
  }

  QPushButton* send = Button(window, "傳送資料");
  TControl* mSend = Control("mSend");
  std::vector<double> sent;
  for (int run = 0; run < kWarmUps + runs; ++run) {
    const std::string bytes = Pattern(kSendSize, run);
    mSend->SetText(bytes);
    QCoreApplication::processEvents();
    // The pty holds a few KiB only: the peer drains while the click writes.
    std::string got;
    Clock::time_point last;
    std::atomic<bool> ready = false;
    std::thread peer([&] {
      got.reserve(kSendSize);
      ready = true;
      const auto deadline = Clock::now() + std::chrono::seconds(10);
      char buffer[8192];
      while (got.size() < kSendSize && Clock::now() < deadline) {
        pollfd p{com1.master(), POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = read(com1.master(), buffer, sizeof buffer);
        if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
      }
      last = Clock::now();
    });
    while (!ready) std::this_thread::yield();
    const auto start = Clock::now();
    QTest::mouseClick(send, Qt::LeftButton);
    peer.join();
    if (got != bytes)
      Fail("the peer got " + std::to_string(got.size()) + " bytes, not the text sent");
    if (run >= kWarmUps) sent.push_back(Micros(last - start));
  }

  Report("receive_1024_shown", shown);
  Report("receive_1024_painted", painted);
  Report("send_64k_delivered", sent);
  device.ClosePort(serial::hCom);
  serial::hCom = 0;
  serial::UseDevice(nullptr);
  return 0;
}
