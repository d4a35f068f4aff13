// Icons rendered from the program's SVG resources.
#include "replay/icons.h"

#include <QHash>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

static void InitReplayResources() { Q_INIT_RESOURCE(kvreplay); }

namespace kvreplay {

QIcon ReplayIcon(int id) {
  static QHash<int, QIcon> cache;
  if (auto found = cache.constFind(id); found != cache.constEnd()) return *found;
  InitReplayResources();
  QSvgRenderer renderer(QStringLiteral(":/kvreplay/icons/%1.svg").arg(id));
  if (!renderer.isValid()) return {};
  QIcon icon;
  for (int size : {16, 20, 24, 32, 48, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  cache.insert(id, icon);
  return icon;
}

}  // namespace kvreplay
