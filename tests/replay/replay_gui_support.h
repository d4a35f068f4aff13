// What the dialog tests share: the Qt application on a private Xvfb, the library loaded by
// name with every call recorded, record files to play, pixels read back from the X server,
// and a fixture holding one dialog.
#pragma once

#include <gtest/gtest.h>

#include <QImage>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "replay/kv_replay_dlg.h"
#include "replay/kvnet_api.h"
#include "tests/replay/qt_print.h"

namespace kvreplay::test {

// Starts Xvfb, points DISPLAY, HOME and the settings at folders of the process's own, makes the
// QApplication and loads the library; undone in reverse at the end.
class GuiEnvironment : public ::testing::Environment {
 public:
  GuiEnvironment(int argc, char** argv);
  ~GuiEnvironment() override;
  void SetUp() override;
  void TearDown() override;

  // Empty when everything started; else why not.
  static const std::string& SkipReason();
  // The dialog tests are skipped, saying that ThreadSanitizer cannot check Qt.
  static void DisableForThreadSanitizer();
  // The process's own folder (home, settings, record files).
  static QString Folder();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

struct ApiCall {
  std::string name;
  KVNET_HANDLE handle = nullptr;
  std::string text;
  int64_t value = 0;
};

// The library's functions with a recorder in front: every call is noted, then passed on (or
// answered with a forced result).
class ApiSpy {
 public:
  static ApiSpy& Get();
  bool Load(const QString& path, QString* error);
  const KvNetApi& Api() const { return spying_; }
  const KvNetApi& Real() const { return real_; }

  void Record(const char* name, KVNET_HANDLE handle, std::string text = {}, int64_t value = 0);
  std::vector<ApiCall> Calls() const { return calls_; }
  std::vector<std::string> Names() const;
  // The calls other than redraw requests (which follow every paint of the dialog).
  std::vector<ApiCall> CallsBesidesRedraws() const;
  std::vector<std::string> NamesBesidesRedraws() const;
  int Count(const std::string& name) const;
  void Clear() { calls_.clear(); }
  void Reset();

  // Forced results: OpenFile fails; PlayAudio / StopAudio return the value (-1: pass on).
  bool failOpenFile = false;
  int playAudioResult = -1;
  int stopAudioResult = -1;

 private:
  KvNetLibrary library_;
  KvNetApi real_;
  KvNetApi spying_;
  std::vector<ApiCall> calls_;
};

// A native MJPEG recording of colour bars: `pictures` pictures at 25 per second, the last one
// `lastAtMs` after the first when given (which sets the length), with G.711 sound.
bool WriteBarsRecording(const QString& path, int pictures, uint32_t lastAtMs = 0);

// Processes events until pred holds or timeoutMs pass.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs);

// The widget's pixels as the X server shows them.
QImage GrabFromScreen(QWidget* widget);

// True when the image shows the recordings' eight colour bars stretched over its whole width;
// else *why says what was seen.
bool ShowsColourBars(const QImage& image, std::string* why);

// One main dialog, shown, with the recording spy and a desktop that records what it is asked.
class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Makes the dialog (again) in the language.
  void MakeDialog(Language language = Language::kEnglish);
  template <typename T>
  T* Control(int id) {
    return dialog_->findChild<T*>(QString::number(id));
  }
  // A file of the test's own folder.
  QString FilePath(const QString& name) const;

  std::unique_ptr<CKV_ReplayDlg> dialog_;
  QStringList messages_;
  QStringList openedFolders_;
  QString chosenFile_;
  QString folder_;
};

}  // namespace kvreplay::test
