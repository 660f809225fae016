#pragma once

// A WebSocket client just big enough for obs-websocket 5's JSON protocol,
// as a remote control (a Stream Deck, Companion) talks to OBS: the HTTP
// upgrade, masked text frames out, unmasked frames in, and the protocol's
// Hello / Identify / Identified before requests. No authentication (the
// test's OBS has none) and no fragmented frames (obs-websocket sends none).

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTcpSocket>

#include <functional>

class WebSocketClient {
public:
    // Each message after the handshake: its "op" and its "d".
    std::function<void(int op, const QJsonObject &d)> onMessage;
    std::function<void(const QString &why)> onError;

    void open(quint16 port)
    {
        QObject::connect(&m_socket, &QTcpSocket::connected, &m_socket, [this, port] {
            m_socket.write(QStringLiteral("GET / HTTP/1.1\r\nHost: 127.0.0.1:%1\r\nUpgrade: websocket\r\n"
                                          "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                          "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: obswebsocket.json\r\n\r\n")
                                   .arg(port)
                                   .toLatin1());
        });
        QObject::connect(&m_socket, &QTcpSocket::readyRead, &m_socket, [this] { read(); });
        QObject::connect(&m_socket, &QTcpSocket::errorOccurred, &m_socket,
                         [this] { failed(QStringLiteral("socket: ") + m_socket.errorString()); });
        m_socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    }

    bool identified() const { return m_identified; }
    // Done with: what happens to the connection from now on (OBS closing it
    // at exit) is nobody's error.
    void close()
    {
        onError = nullptr;
        onMessage = nullptr;
        m_socket.abort();
    }

    void send(int op, const QJsonObject &d)
    {
        const QByteArray payload = QJsonDocument(QJsonObject{{"op", op}, {"d", d}}).toJson(QJsonDocument::Compact);
        QByteArray frame;
        frame.append(char(0x81)); // a whole text frame
        if (payload.size() < 126) {
            frame.append(char(0x80 | payload.size()));
        } else {
            frame.append(char(0x80 | 126));
            frame.append(char(payload.size() >> 8)).append(char(payload.size() & 0xff));
        }
        const quint32 mask = QRandomGenerator::global()->generate();
        const char key[4] = {char(mask >> 24), char(mask >> 16), char(mask >> 8), char(mask)};
        frame.append(key, 4);
        for (qsizetype i = 0; i < payload.size(); ++i)
            frame.append(char(payload.at(i) ^ key[i % 4]));
        m_socket.write(frame);
    }

private:
    void failed(const QString &why)
    {
        if (onError)
            onError(why);
    }

    void read()
    {
        m_in += m_socket.readAll();
        if (!m_upgraded) {
            const qsizetype end = m_in.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            if (!m_in.startsWith("HTTP/1.1 101"))
                return failed(QStringLiteral("no upgrade: ") + QString::fromLatin1(m_in.left(end)));
            m_upgraded = true;
            m_in.remove(0, end + 4);
        }
        while (m_in.size() >= 2) {
            const int opcode = m_in.at(0) & 0x0f;
            qint64 length = m_in.at(1) & 0x7f;
            int header = 2;
            if (length == 126) {
                if (m_in.size() < 4)
                    return;
                length = (quint8(m_in.at(2)) << 8) | quint8(m_in.at(3));
                header = 4;
            } else if (length == 127) {
                if (m_in.size() < 10)
                    return;
                length = 0;
                for (int i = 2; i < 10; ++i)
                    length = (length << 8) | quint8(m_in.at(i));
                header = 10;
            }
            if (m_in.size() < header + length)
                return;
            const QByteArray payload = m_in.mid(header, length);
            m_in.remove(0, header + length);
            if (opcode == 0x8)
                return failed(QStringLiteral("the server closed the connection"));
            if (opcode != 0x1)
                continue; // pings and the like
            const QJsonObject message = QJsonDocument::fromJson(payload).object();
            const int op = message.value("op").toInt(-1);
            const QJsonObject d = message.value("d").toObject();
            if (op == 0) // Hello: identify, subscribed to vendors' events (1 << 9)
                send(1, QJsonObject{{"rpcVersion", 1}, {"eventSubscriptions", 1 << 9}});
            else if (op == 2)
                m_identified = true;
            else if (onMessage)
                onMessage(op, d);
        }
    }

    QTcpSocket m_socket;
    QByteArray m_in;
    bool m_upgraded = false;
    bool m_identified = false;
};
