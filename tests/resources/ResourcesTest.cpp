// The pictures and the visual style as the program loads them: from the resources linked in,
// through Qt's own decoders.

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QMovie>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <vector>

namespace {

const QSize PictureSize(128, 128);

struct TColourCounts {
  int Transparent = 0;
  int Green = 0;  // opaque, green well above red and blue
  int Red = 0;    // opaque, red well above green and blue
};

TColourCounts CountColours(const QImage& Image) {
  TColourCounts Counts;
  for (int Y = 0; Y < Image.height(); ++Y) {
    for (int X = 0; X < Image.width(); ++X) {
      const QColor C = Image.pixelColor(X, Y);
      if (C.alpha() == 0) ++Counts.Transparent;
      if (C.alpha() < 255) continue;
      if (C.green() > C.red() + 80 && C.green() > C.blue() + 80) ++Counts.Green;
      if (C.red() > C.green() + 80 && C.red() > C.blue() + 80) ++Counts.Red;
    }
  }
  return Counts;
}

TEST(ResourcesTest, AnimationsHaveTheirFramesDelaysAndLoopForEver) {
  const struct {
    const char* Path;
    std::vector<int> Delays;
  } Cases[] = {
      {":/BIN/XGIF",
       [] {
         std::vector<int> D(20, 100);
         D[0] = 1000;  // the logo at rest
         return D;
       }()},
      {":/BIN/WAIT", std::vector<int>(24, 90)},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Path);
    QMovie Movie(Case.Path);
    ASSERT_TRUE(Movie.isValid());
    EXPECT_EQ(Movie.format(), "gif");
    EXPECT_EQ(Movie.loopCount(), -1);
    ASSERT_EQ(Movie.frameCount(), int(Case.Delays.size()));
    // The delays as the file stores them (QMovie's own figure counts down on a clock).
    QImageReader Reader(Case.Path);
    std::vector<int> Delays;
    for (int Frame = 0; Frame < Movie.frameCount(); ++Frame) {
      const QImage Image = Reader.read();
      Delays.push_back(Reader.nextImageDelay());
      EXPECT_EQ(Image.size(), PictureSize);
      const TColourCounts Counts = CountColours(Image);
      EXPECT_GT(Counts.Transparent, 1000) << "frame " << Frame;               // drawn on nothing
      EXPECT_EQ(Image.pixelColor(64, 64).alpha(), 255) << "frame " << Frame;  // the centre
    }
    EXPECT_EQ(Delays, Case.Delays);
  }
}

TEST(ResourcesTest, StatusPicturesAreAGreenTickAndARedCrossOnTransparency) {
  const struct {
    const char* Path;
    bool Green;
  } Cases[] = {{":/RCDATA/YES", true}, {":/RCDATA/NO", false}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Path);
    QImage Image;
    ASSERT_TRUE(Image.load(Case.Path, "PNG"));
    EXPECT_EQ(Image.size(), PictureSize);
    EXPECT_TRUE(Image.hasAlphaChannel());
    const TColourCounts Counts = CountColours(Image);
    EXPECT_GT(Counts.Transparent, 128 * 128 / 2);
    EXPECT_GT(Case.Green ? Counts.Green : Counts.Red, 2000);
    EXPECT_EQ(Case.Green ? Counts.Red : Counts.Green, 0);
  }
}

QStringList Warnings;

void CollectWarnings(QtMsgType Type, const QMessageLogContext&, const QString& Message) {
  if (Type != QtDebugMsg && Type != QtInfoMsg) Warnings << Message;
}

TEST(ResourcesTest, CarbonStyleParsesAndIsDark) {
  QFile Style(":/STYLE/CARBON");
  ASSERT_TRUE(Style.open(QIODevice::ReadOnly));
  Warnings.clear();
  const QtMessageHandler Previous = qInstallMessageHandler(CollectWarnings);
  qApp->setStyleSheet(QString::fromUtf8(Style.readAll()));
  QTabWidget Window;
  auto* Page = new QWidget;
  auto* Layout = new QVBoxLayout(Page);
  auto* Box = new QComboBox;
  Box->setEditable(true);
  Layout->addWidget(Box);
  Layout->addWidget(new QPushButton("Flash(&F)"));
  Layout->addWidget(new QProgressBar);
  Window.addTab(Page, "Flash");
  Window.resize(400, 200);
  Window.show();
  QCoreApplication::processEvents();
  const QImage Image = Window.grab().toImage();
  const QColor Text = Window.palette().color(QPalette::WindowText);
  qApp->setStyleSheet(QString());
  qInstallMessageHandler(Previous);

  EXPECT_EQ(Warnings, QStringList{});
  EXPECT_LT(Image.pixelColor(Image.width() - 5, Image.height() - 5).lightness(), 60);
  EXPECT_GT(Text.lightness(), 200);
}

}  // namespace
