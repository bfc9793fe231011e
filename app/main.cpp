#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  QTextStream(stdout) << "Ferrule v1.316 Pre-release: the main window is not built yet. "
                         "Run tools/test.sh to build and test the protocol, serial and "
                         "settings layers.\n";
  return 0;
}
