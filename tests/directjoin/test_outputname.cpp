// Output names and the space rule of the Join command.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSet>

#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "directjoin/FreeSpace.h"
#include "directjoin/OutputName.h"
#include "tests/support/Fixtures.h"

namespace {

QString S(const char* text) { return QString::fromUtf8(text); }

// A set of taken names stands in for the folder.
QString Unique(const char* name, std::initializer_list<const char*> taken) {
  QSet<QString> names;
  for (const char* t : taken) names.insert(S(t));
  return UniqueOutputName(S(name), [&](const QString& n) { return names.contains(n); });
}

}  // namespace

TEST(OutputName, NumberGoesBeforeTheExtension) {
  EXPECT_EQ(NextOutputName(S("/v/movie.avi")), S("/v/movie[1].avi"));
  EXPECT_EQ(NextOutputName(S("/v/movie[7].avi")), S("/v/movie[8].avi"));
  EXPECT_EQ(NextOutputName(S("/v/a[1][2].avi")), S("/v/a[1][3].avi"));
  EXPECT_EQ(NextOutputName(S("/v/movie[x].avi")), S("/v/movie[1].avi"));
  EXPECT_EQ(NextOutputName(S("/v/movie[9].avi")), S("/v/movie[10].avi"));
  EXPECT_EQ(Unique("/v/movie.avi", {}), S("/v/movie.avi"));
  EXPECT_EQ(Unique("/v/movie.avi", {"/v/movie.avi", "/v/movie[1].avi"}), S("/v/movie[2].avi"));
  EXPECT_EQ(Unique("/v/movie[7].avi", {"/v/movie[7].avi"}), S("/v/movie[8].avi"));
}

// Names the original rule would rename forever: each still ends.
TEST(OutputName, NamesWithoutAPlaceForTheNumberStillEnd) {
  // No "." among the last five characters: the number goes at the end.
  EXPECT_EQ(NextOutputName(S("/v/movie")), S("/v/movie[1]"));
  EXPECT_EQ(NextOutputName(S("/v/movie[1]")), S("/v/movie[2]"));
  EXPECT_EQ(Unique("/v/movie.mpeg4", {"/v/movie.mpeg4", "/v/movie.mpeg4[1]"}), S("/v/movie.mpeg4[2]"));
  // "]" before the "." without its "[": a "[1]" of its own.
  EXPECT_EQ(NextOutputName(S("/v/x].avi")), S("/v/x][1].avi"));
  EXPECT_EQ(Unique("/v/x].avi", {"/v/x].avi", "/v/x][1].avi"}), S("/v/x][2].avi"));
  // A "." or "[" in the folder does not count.
  EXPECT_EQ(NextOutputName(S("/a.b/cd")), S("/a.b/cd[1]"));
  EXPECT_EQ(NextOutputName(S("/v[1]/].avi")), S("/v[1]/][1].avi"));
  // Long names are used as they are.
  QString longName = S("/v/") + QString(260, QLatin1Char('n')) + S(".avi");
  EXPECT_EQ(UniqueOutputName(longName, [](const QString&) { return true; }), longName);
}

TEST(OutputName, RealFolder) {
  QString dir = QString::fromStdString(testsupport::TempDir("names"));
  QString movie = dir + S("/movie.avi");
  QFile(movie).open(QIODevice::WriteOnly);
  EXPECT_EQ(UniqueOutputName(movie), dir + S("/movie[1].avi"));
  EXPECT_EQ(UniqueOutputName(dir + S("/other.avi")), dir + S("/other.avi"));
}

TEST(JoinSpace, SummedSizesPlusOneMegabyteMustFit) {
  QString dir = QString::fromStdString(testsupport::TempDir("space"));
  QStringList clips = {dir + S("/a.avi"), dir + S("/b.avi")};
  for (const QString& c : clips) {
    QFile f(c);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_TRUE(f.resize(700LL * 1048576));  // sparse: 700 MiB without the disk
  }
  uint64_t offered = 0;
  QString folder;
  SetFreeSpaceProbe([&](const QString& f, uint64_t& bytes) {
    folder = f;
    bytes = offered;
    return true;
  });
  offered = 1401ULL * 1048576;
  EXPECT_TRUE(JoinCheckDiskSpace(dir + S("/out.avi"), clips));
  EXPECT_EQ(folder, dir + S("/"));
  offered = 1401ULL * 1048576 - 65536;
  EXPECT_FALSE(JoinCheckDiskSpace(dir + S("/out.avi"), clips));
  // A volume that cannot be queried has no room.
  SetFreeSpaceProbe([](const QString&, uint64_t& bytes) {
    bytes = 1ULL << 50;
    return false;
  });
  EXPECT_FALSE(JoinCheckDiskSpace(dir + S("/out.avi"), clips));
  SetFreeSpaceProbe({});
  // The real probe: the total free bytes of this volume.
  uint64_t real = 0;
  EXPECT_TRUE(QueryFreeSpace(dir, real));
  EXPECT_GT(real, 0u);
  EXPECT_FALSE(QueryFreeSpace(dir + S("/no/such/folder"), real));
}

TEST(JoinSpace, UnreadableFileWarnsWithItsPathAndCountsZero) {
  QString dir = QString::fromStdString(testsupport::TempDir("space-gone"));
  QString present = dir + S("/here.avi");
  QFile f(present);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  ASSERT_TRUE(f.resize(3LL * 1048576));
  f.close();
  struct Seen {
    QString text, caption;
    unsigned icon;
  };
  std::vector<Seen> seen;
  auto old = SetMessageBoxHandler([&](QObject* owner, const QString& text, const QString& caption, unsigned icon) {
    EXPECT_EQ(owner, nullptr);
    seen.push_back({text, caption, icon});
    return IDOK;
  });
  SetFreeSpaceProbe([](const QString&, uint64_t& bytes) {
    bytes = 4ULL * 1048576;
    return true;
  });
  QString gone = dir + S("/gone.avi");
  float m = -1;
  EXPECT_FALSE(JoinFileSizeMegabytes(gone, m));
  EXPECT_EQ(m, 0.0f);
  EXPECT_TRUE(JoinFileSizeMegabytes(present, m));
  EXPECT_EQ(m, 3.0f);
  seen.clear();
  // 3 MiB + 0 + 1 fits into 4 MiB; the missing file is reported once.
  EXPECT_TRUE(JoinCheckDiskSpace(dir + S("/out.avi"), {present, gone}));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].caption, gone);
  EXPECT_EQ(seen[0].text, S("Error open file info for size checks..."));
  EXPECT_EQ(seen[0].icon, MB_ICONWARNING);
  SetMessageBoxHandler(old);
  SetFreeSpaceProbe({});
}
