// The replay program's start and end: the interface language from the command line, the
// library, then the main dialog until it is closed.
#pragma once

#include <QFontDatabase>
#include <QList>
#include <QStringList>

#include "replay/replay_strings.h"

namespace kvreplay {

// True when a font for the language's writing system is among the available ones.
bool LanguageCanBeShown(Language language, const QList<QFontDatabase::WritingSystem>& available);

class CKV_ReplayApp {
 public:
  // Runs the program with its command line; returns the exit status (0 after the dialog
  // ended, 1 when the language cannot be set up or the library cannot be loaded).
  int InitInstance(const QStringList& arguments);
};

}  // namespace kvreplay
