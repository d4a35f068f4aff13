// The replay program's start and end.
#include "replay/replay_app.h"

#include <QApplication>
#include <QLocale>
#include <QMessageBox>

#include "replay/kv_replay_dlg.h"
#include "replay/kvnet_api.h"

namespace kvreplay {
namespace {

// Where the library is in the build tree, from the program's folder.
#ifndef KVREPLAY_LIBRARY_IN_BUILD_TREE
#define KVREPLAY_LIBRARY_IN_BUILD_TREE ""
#endif

void ShowStartMessage(const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("KvReplay"), text, QMessageBox::Ok);
  box.exec();
}

// Makes the language's texts, dates and fonts the ones used from now on; false when the
// machine has no font to show them.
bool SetInterfaceLanguage(Language language) {
  QLocale::setDefault(language == Language::kChinese
                          ? QLocale(QLocale::Chinese, QLocale::China)
                          : QLocale(QLocale::English, QLocale::UnitedStates));
  return LanguageCanBeShown(language, QFontDatabase::writingSystems());
}

}  // namespace

bool LanguageCanBeShown(Language language, const QList<QFontDatabase::WritingSystem>& available) {
  return available.contains(language == Language::kChinese ? QFontDatabase::SimplifiedChinese
                                                           : QFontDatabase::Latin);
}

int CKV_ReplayApp::InitInstance(const QStringList& arguments) {
  const Language language = ChooseLanguage(CommandLineText(arguments));
  if (!SetInterfaceLanguage(language)) {
    ShowStartMessage(LanguageFailedMessage(language));
    return 1;
  }
  KvNetLibrary library;
  QString error;
  if (!library.Load(LibraryCandidates(QApplication::applicationDirPath(),
                                      QStringLiteral(KVREPLAY_LIBRARY_IN_BUILD_TREE)),
                    &error)) {
    ShowStartMessage(error);
    return 1;
  }
  const KvNetApi& api = library.Api();
  api.Startup(0, 0, nullptr, 0);
  {
    CKV_ReplayDlg dialog(api, language);
    dialog.exec();
  }
  api.Cleanup();
  return 0;
}

}  // namespace kvreplay
