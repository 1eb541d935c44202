#include "agent_process.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QThread>
#include <QWebSocket>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

#include "common/build_config.h"
#include "device/device_file.h"
#include "support/wait.h"

namespace kavor::test {

namespace {

using namespace std::chrono_literals;

// A cold webview on a busy two-core machine takes a while to answer its first script.
constexpr auto kScriptAnswer = 30s;
// How long another test on this machine may keep the built-in service's ports.
constexpr auto kPortsTaken = 180s;

QString app_id() {
  return QString::fromUtf8(common::build::kAppId);
}

void make_folder(const QString& path, mode_t mode) {
  QDir().mkpath(path);
  ::chmod(QFile::encodeName(path).constData(), mode);
}

}  // namespace

int free_port() {
  QTcpServer server;
  server.listen(QHostAddress::LocalHost, 0);
  return server.serverPort();
}

AgentHome::AgentHome() : port_(free_port()) {
  // Others may pass through the root to the shared temporary folder, as they may reach /tmp,
  // whose sticky bit lets only a file's owner remove or rename it.
  make_folder(root_.path(), 0711);
  for (const char* name : {"home", "config", "data", "runtime"})
    make_folder(folder(QString::fromLatin1(name)), 0700);
  make_folder(temp(), 01777);
}

AgentHome::~AgentHome() {
  for (const pid_t left : processes_naming(root_.path())) ::kill(left, SIGKILL);
}

QString AgentHome::config() const {
  return QDir(folder(QStringLiteral("config"))).filePath(app_id());
}

QString AgentHome::index_folder() const {
  return QDir(QDir(folder(QStringLiteral("data"))).filePath(app_id()))
      .filePath(QStringLiteral("mention-index"));
}

QProcessEnvironment AgentHome::environment() const {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("HOME"), folder(QStringLiteral("home")));
  env.insert(QStringLiteral("XDG_CONFIG_HOME"), folder(QStringLiteral("config")));
  env.insert(QStringLiteral("XDG_DATA_HOME"), folder(QStringLiteral("data")));
  env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime());
  env.insert(QStringLiteral("TMPDIR"), temp());
  // No Secret Service: the device secret is read from device.json.
  env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent"));
  env.insert(QStringLiteral("KAVOR_AGENT_BROWSER_NO_SANDBOX"), QStringLiteral("1"));
  env.insert(QStringLiteral("QTWEBENGINE_REMOTE_DEBUGGING"),
             QStringLiteral("127.0.0.1:%1").arg(port_));
  return env;
}

AgentProcess::AgentProcess(const AgentHome& home, QStringList arguments,
                           const QProcessEnvironment& extra, bool read_errors) {
  QProcessEnvironment env = home.environment();
  env.insert(extra);
  process_.setProcessEnvironment(env);
  process_.setProcessChannelMode(read_errors ? QProcess::SeparateChannels
                                             : QProcess::ForwardedErrorChannel);
  if (read_errors) process_.setStandardOutputFile(QProcess::nullDevice());
  process_.start(QStringLiteral(KAVOR_AGENT_BINARY), arguments);
  if (!process_.waitForStarted()) throw std::runtime_error("the agent did not start");
}

AgentProcess::~AgentProcess() {
  if (process_.state() == QProcess::NotRunning) return;
  process_.terminate();
  if (!process_.waitForFinished(15'000)) {
    process_.kill();
    process_.waitForFinished();
  }
}

std::vector<common::Json> page_targets(int port) {
  QNetworkAccessManager manager;
  QNetworkReply* reply =
      manager.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/json/list").arg(port))));
  wait_until([&] { return reply->isFinished(); });
  const auto list = common::parse_json(reply->readAll().toStdString());
  reply->deleteLater();
  std::vector<common::Json> pages;
  if (!list || !list->is_array()) return pages;
  for (const auto& target : *list) {
    if (target.value("type", "") == "page") pages.push_back(target);
  }
  return pages;
}

std::optional<common::Json> evaluate_in_page(int port, const QString& url_prefix,
                                             const QString& expression) {
  std::string address;
  for (const common::Json& target : page_targets(port)) {
    if (QString::fromStdString(target.value("url", "")).startsWith(url_prefix)) {
      address = target.value("webSocketDebuggerUrl", "");
      break;
    }
  }
  if (address.empty()) return std::nullopt;
  QWebSocket socket;
  std::optional<common::Json> answer;
  QObject::connect(&socket, &QWebSocket::textMessageReceived, [&](const QString& text) {
    auto message = common::parse_json(text.toStdString());
    if (message && message->value("id", 0) == 1) answer = std::move(*message);
  });
  socket.open(QUrl(QString::fromStdString(address)));
  if (!wait_until([&] { return socket.state() == QAbstractSocket::ConnectedState; })) return {};
  common::Json request = {{"id", 1},
                          {"method", "Runtime.evaluate"},
                          {"params",
                           {{"expression", expression.toStdString()},
                            {"awaitPromise", true},
                            {"returnByValue", true}}}};
  socket.sendTextMessage(QString::fromStdString(request.dump()));
  if (!wait_until([&] { return answer.has_value(); }, kScriptAnswer)) return std::nullopt;
  const common::Json& result = (*answer)["result"];
  if (result.contains("exceptionDetails") || !result.contains("result")) return std::nullopt;
  return result["result"].value("value", common::Json());
}

std::vector<pid_t> processes_naming(const QString& folder) {
  std::vector<pid_t> found;
  const QByteArray needle = QFile::encodeName(folder);
  QDirIterator it(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
  while (it.hasNext()) {
    it.next();
    bool number = false;
    const pid_t pid = static_cast<pid_t>(it.fileName().toInt(&number));
    if (!number || pid == ::getpid()) continue;
    QFile cmdline(it.filePath() + QStringLiteral("/cmdline"));
    if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(needle))
      found.push_back(pid);
  }
  return found;
}

// How many sockets listen on the loopback `port` (the service shares its ports: a second one
// binds beside the first, and connections go to either).
int listeners(int port) {
  QFile table(QStringLiteral("/proc/net/tcp"));
  if (!table.open(QIODevice::ReadOnly)) return 0;
  const QByteArray local = QByteArray("0100007F:") + QByteArray::number(port, 16).toUpper();
  int count = 0;
  for (const QByteArray& line : table.readAll().split('\n')) {
    const QList<QByteArray> fields = line.simplified().split(' ');
    if (fields.size() > 3 && fields[1] == local && fields[3] == "0A") ++count;  // 0A: LISTEN
  }
  return count;
}

std::unique_ptr<service::LocalService> start_built_in_service() {
  service::LocalServiceOptions options;
  options.app_port = QUrl(QString::fromUtf8(common::build::kAppUrl)).port();
  options.api_port = QUrl(QString::fromUtf8(common::build::kApiBase)).port();
  const auto until = std::chrono::steady_clock::now() + kPortsTaken;
  for (;;) {
    if (listeners(options.app_port) == 0 && listeners(options.api_port) == 0) {
      auto service = std::make_unique<service::LocalService>(options);
      if (listeners(options.app_port) == 1 && listeners(options.api_port) == 1) return service;
    }
    if (std::chrono::steady_clock::now() > until)
      throw std::runtime_error("the built-in service's ports stay taken");
    QThread::msleep(500);  // another run's service: look again shortly
  }
}

bool link_device(const service::LocalService& service, const AgentHome& home) {
  QNetworkAccessManager manager;
  QNetworkRequest request(
      QUrl(QString::fromUtf8(common::build::kApiBase) + QStringLiteral("/bridge/devices")));
  request.setRawHeader("Authorization",
                       "Bearer " + QByteArray::fromStdString(service.link_token()));
  request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
  QNetworkReply* reply = manager.post(request, R"({"name":"lifecycle"})");
  wait_until([&] { return reply->isFinished(); });
  const auto body = common::parse_json(reply->readAll().toStdString());
  reply->deleteLater();
  if (!body || !body->contains("secret")) return false;
  const QString id = QString::fromStdString((*body)["device"].value("id", ""));
  const QString secret = QString::fromStdString((*body).value("secret", ""));
  QDir().mkpath(home.config());
  QFile file(QDir(home.config()).filePath(QStringLiteral("device.json")));
  return file.open(QIODevice::WriteOnly) &&
         file.write(device::serialize_device_file(id, QStringLiteral("lifecycle"), secret)) > 0;
}

}  // namespace kavor::test
