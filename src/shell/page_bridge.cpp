#include "shell/page_bridge.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>

#include <array>

#include "app/page_access.h"
#include "platform/start_trace.h"
#include "shell/app_server.h"

namespace kavor::shell {

namespace {

QString read_resource(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll());
}

QString new_secret() {
  std::array<quint32, 8> words{};
  QRandomGenerator::system()->fillRange(words.data(), words.size());
  QString out;
  for (quint32 w : words) out += QStringLiteral("%1").arg(w, 8, 16, QLatin1Char('0'));
  return out;
}

// Invalid UTF-8 in a result must not throw here; it is replaced instead.
QString to_text(const common::Json& value) {
  return QString::fromStdString(common::json_text(value));
}

}  // namespace

QString page_bridge_source(const QString& secret, const QUrl& app_url) {
  QJsonObject config;
  config[QStringLiteral("secret")] = secret;
  config[QStringLiteral("appUrl")] = app_url.toString(QUrl::FullyEncoded);
  const QString config_text =
      QString::fromUtf8(QJsonDocument(config).toJson(QJsonDocument::Compact));
  // One function scope around both files keeps the channel client and the page script's own
  // state out of the page's reach.
  return QStringLiteral("(function () {\n") +
         read_resource(QStringLiteral(":/qtwebchannel/qwebchannel.js")) + QStringLiteral("\n") +
         read_resource(QStringLiteral(":/shell/page_bridge.js")) +
         QStringLiteral("\ninstallPageBridge(QWebChannel, %1);\n})();\n").arg(config_text);
}

PageBridge::PageBridge(QWebEnginePage* page, const app::CommandTable& commands, QUrl app_url)
    : QObject(page),
      page_(page),
      commands_(commands),
      app_url_(std::move(app_url)),
      secret_(new_secret()),
      channel_(new QWebChannel(this)) {
  channel_->registerObject(QStringLiteral("bridge"), this);
  page_->setWebChannel(channel_);

  QWebEngineScript script;
  script.setName(QStringLiteral("kavor-page-bridge"));
  script.setSourceCode(page_bridge_source(secret_, app_url_));
  script.setInjectionPoint(QWebEngineScript::DocumentCreation);
  script.setWorldId(QWebEngineScript::MainWorld);
  script.setRunsOnSubFrames(false);
  page_->scripts().insert(script);
}

bool PageBridge::shows_application() const {
  return app::page_may_call(page_->url(), app_url_);
}

void PageBridge::emit_event(const QString& name, const common::Json& payload) {
  if (!shows_application()) return;
  emit event_emitted(name, to_text(payload));
}

void PageBridge::call(const QString& secret, const QString& document, int id,
                      const QString& command, const QString& args) {
  if (secret != secret_ || !shows_application()) return;
  platform::start_milestone("first bridge call");
  if (!application_server_trusted(app_url_, WhenNobodyListens::Refuse)) {
    emit server_refused();
    return;
  }
  // Text that is not JSON becomes a value that is not an object, so the command table refuses
  // it with its usual sentence (or says the command is unknown).
  common::Json parsed =
      common::parse_json_strict(args.toStdString()).value_or(common::Json(std::string()));
  run(QPointer<PageBridge>(this), commands_, document, id, command.toStdString(),
      std::move(parsed));
}

QCoro::Task<> PageBridge::run(QPointer<PageBridge> self, const app::CommandTable& commands,
                              QString document, int id, std::string command, common::Json args) {
  app::CommandResult result = common::Json();  // until the command answers
  try {
    result = co_await commands.invoke(command, args);
  } catch (...) {
    result = fail("The command " + command + " failed unexpectedly.");
  }
  // The window may have closed while the command ran.
  if (self) self->answer(document, id, result);
}

void PageBridge::answer(const QString& document, int id, const app::CommandResult& result) {
  // After a navigation away from the application the answer has nobody to go to.
  if (!shows_application()) return;
  // The page reads text: the failure's sentence becomes a QString only here, at its edge.
  emit answered(document, id, result.ok(),
                result.ok() ? to_text(result.value()) : QString::fromStdString(result.message()));
}

}  // namespace kavor::shell
