// A peer that holds a line the way the Qt serial terminals do, through
// QSerialPort: "held" or "refused <error>" on stdout, then it keeps the line
// until stdin closes.
#include <QCoreApplication>
#include <QSerialPort>

#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: qserialport_peer DEVICE\n");
    return 2;
  }
  QSerialPort port(QString::fromLocal8Bit(argv[1]));
  if (port.open(QIODevice::ReadWrite))
    std::printf("held\n");
  else
    std::printf("refused %s\n", port.errorString().toLocal8Bit().constData());
  std::fflush(stdout);
  for (std::string line; std::getline(std::cin, line);) {
  }
  return 0;
}
