// kvreplay_screenshots: shows KvReplay's dialog on a private Xvfb in English and in Chinese,
// searches the drive folder given, plays the first recording found and saves a screenshot of
// the dialog while it plays. Used for the documentation and by scripts/replay.sh without a
// display.
//
//   kvreplay_screenshots --drive DIR --out DIR [--seconds S]
#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTest>
#include <cstdio>
#include <cstring>
#include <string>

#include "replay/dialog_template.h"
#include "replay/kv_replay_dlg.h"
#include "replay/kvnet_api.h"
#include "replay/mount_points.h"
#include "replay/sort_list_ctrl.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

namespace {

bool Shoot(const kvreplay::KvNetApi& api, kvreplay::Language language, const QString& file,
           int waitMs) {
  QLocale::setDefault(language == kvreplay::Language::kChinese
                          ? QLocale(QLocale::Chinese, QLocale::China)
                          : QLocale(QLocale::English, QLocale::UnitedStates));
  kvreplay::CKV_ReplayDlg dialog(api, language);
  dialog.desktop().messageBox = [](QWidget*, const QString& text) {
    std::fprintf(stderr, "kvreplay_screenshots: message: %s\n", text.toStdString().c_str());
  };
  dialog.show();
  if (!QTest::qWaitForWindowExposed(&dialog)) return false;
  dialog.findChild<QPushButton*>(QString::number(kvreplay::IDC_SEARCH))->click();
  auto* list = dialog.findChild<kvreplay::CSortListCtrl*>(QString::number(kvreplay::IDC_LIST));
  if (list->rowCount() == 0) {
    std::fprintf(stderr, "kvreplay_screenshots: the search found no recording\n");
    return false;
  }
  dialog.OnListDblClk(0);
  if (dialog.ReplayHandle() == nullptr) return false;
  QTest::qWait(waitMs);
  const QPoint origin = dialog.mapToGlobal(QPoint(0, 0));
  const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(
      0, origin.x(), origin.y(), dialog.width(), dialog.height());
  dialog.close();
  return shot.save(file, "PNG");
}

}  // namespace

int main(int argc, char** argv) {
  QString drive;
  QString out;
  int seconds = 2;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--drive") == 0 && i + 1 < argc) {
      drive = QString::fromLocal8Bit(argv[++i]);
    } else if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
      out = QString::fromLocal8Bit(argv[++i]);
    } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: kvreplay_screenshots --drive DIR --out DIR [--seconds S]\n");
      return 2;
    }
  }
  if (drive.isEmpty() || out.isEmpty()) {
    std::fprintf(stderr, "usage: kvreplay_screenshots --drive DIR --out DIR [--seconds S]\n");
    return 2;
  }
  kv::test::XvfbServer xvfb;
  std::string error;
  if (!xvfb.Start(&error)) {
    std::fprintf(stderr, "kvreplay_screenshots: %s\n", error.c_str());
    return 1;
  }
  const std::filesystem::path settings = kv::test::MakeUniqueTempDir("kvreplay-shots-");
  kv::test::ScopedEnv display("DISPLAY", xvfb.DisplayName().c_str());
  kv::test::ScopedEnv platform("QT_QPA_PLATFORM", "xcb");
  kv::test::ScopedEnv drives(kvreplay::kDrivesVariable, drive.toLocal8Bit().constData());
  kv::test::ScopedEnv audio("KVNET_AUDIO_OUT", "null");
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                     QString::fromStdString(settings.string()));
  int qtArgc = 1;
  QApplication application(qtArgc, argv);

  kvreplay::KvNetLibrary library;
  QString loadError;
  if (!library.Load({QStringLiteral(KVNET_SHARED_LIBRARY)}, &loadError)) {
    std::fprintf(stderr, "kvreplay_screenshots: %s\n", loadError.toStdString().c_str());
    return 1;
  }
  library.Api().Startup(0, 0, nullptr, 0);
  QDir().mkpath(out);
  const QString english = QDir(out).filePath("kvreplay-english.png");
  const QString chinese = QDir(out).filePath("kvreplay-chinese.png");
  const bool ok = Shoot(library.Api(), kvreplay::Language::kEnglish, english, seconds * 1000) &&
                  Shoot(library.Api(), kvreplay::Language::kChinese, chinese, seconds * 1000);
  library.Api().Cleanup();
  QDir(QString::fromStdString(settings.string())).removeRecursively();
  if (ok)
    std::printf("screenshots: %s %s\n", english.toStdString().c_str(),
                chinese.toStdString().c_str());
  return ok ? 0 : 1;
}
