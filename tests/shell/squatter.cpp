// Another user's program at the place where the agent looks for its running instance. Tests
// start it under a throw-away user.
//
//   squatter listen PATH   listens on PATH for everyone; prints "listening", then "knock"
//                          for every message received, until it is killed
//   squatter knock PATH    connects to PATH and sends what a second start sends; exits 0
//                          when the message went out
#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 3) return 2;
  const QString path = QString::fromLocal8Bit(argv[2]);
  if (std::strcmp(argv[1], "knock") == 0) {
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(5000)) return 1;
    socket.write("activate\n");
    return socket.waitForBytesWritten(5000) ? 0 : 1;
  }
  QLocalServer server;
  server.setSocketOptions(QLocalServer::WorldAccessOption);
  if (!server.listen(path)) return 1;
  QObject::connect(&server, &QLocalServer::newConnection, [&server] {
    while (QLocalSocket* peer = server.nextPendingConnection()) {
      QObject::connect(peer, &QLocalSocket::readyRead, [peer] {
        peer->readAll();
        std::puts("knock");
        std::fflush(stdout);
      });
    }
  });
  std::puts("listening");
  std::fflush(stdout);
  return app.exec();
}
