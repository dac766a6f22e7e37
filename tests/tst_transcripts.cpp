// The transcripts under tests/transcripts, each replayed against a fresh real daemon: what
// clients send, and the frames and log lines that must come back. Their lines:
//
//   # ...               a comment; the first one says what the transcript pins
//   env NAME=VALUE      in the daemon's environment
//   > {...}  b> {...}   client a (b, c, ...: further clients, connected at first use) sends this
//                       frame; {helper} is the child helper, {dir} the daemon's private folder
//   < {...}  b< {...}   the first unmatched frame like this one reaches the client, waited for:
//                       the same keys, the same values; "<>" stands for any value
//   stdout a ID TEXT    all the process ID wrote to stdout, as client a got it, is TEXT (\n, \t,
//                       \\ escaped); stderr the same
//   quiet a             nothing more came to client a than what was matched
//   close a / silent a  client a goes / sends no more heartbeats of its own
//   log TEXT            the daemon logs TEXT after the previous log line matched; logged TEXT:
//                       anywhere; nolog TEXT: nothing logged so far has it
//   file PATH [TEXT]    the file exists and has TEXT; nofile PATH [TEXT]: it does not, or lacks TEXT
//   write PATH TEXT     makes the file PATH with TEXT, and its folder
//   stop / exits CODE   the daemon is stopped as the service manager does it and ends with 0 /
//                       ends by itself with CODE
//   linux: LINE         LINE on one platform only (windows: the other)
//
// Each client heartbeats by itself; those answers are not part of the transcript. The example
// exchange of docs/protocol.md is replayed too, its frames in exactly the document's order:
// client authors copy from it.

#include "ipc/framing.h"
#include "testsupport.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>

#include <map>

using testsupport::Daemon;

namespace {

constexpr int WaitMs = 20000;
const QString Helper = QStringLiteral(HELPER_CHILDHELPER);

QString compact(const QJsonObject &o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QString unescape(const QString &text)
{
    QString out;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i] == '\\' && i + 1 < text.size() ? text[++i] : QChar();
        out += c.isNull() ? text[i] : c == 'n' ? QChar('\n') : c == 't' ? QChar('\t') : c;
    }
    return out;
}

class Client
{
public:
    bool open(const QString &path)
    {
        m_socket.connectToServer(path);
        if (!m_socket.waitForConnected(WaitMs))
            return false;
        QObject::connect(&m_socket, &QLocalSocket::readyRead, [this] {
            m_reader.append(m_socket.readAll());
            QJsonObject o;
            while (m_reader.next(&o) == framing::FrameReader::Result::Message)
                if (o.value("request-id") != QLatin1String("hb")) {
                    inbox << o;
                    m_all << o;
                }
        });
        QObject::connect(&m_heartbeat, &QTimer::timeout, [this] { send({{"action", "heartbeat"}, {"request-id", "hb"}}); });
        m_heartbeat.start(3000);
        return QTest::qWaitFor([this] { return take({{"event", "connected"}, {"daemon-version", "<>"}, {"privilege-level", "<>"}}); },
                               WaitMs);
    }
    void send(const QJsonObject &o) { m_socket.write(framing::encode(o)); }
    void silence() { m_heartbeat.stop(); }
    void close()
    {
        m_heartbeat.stop();
        m_socket.disconnectFromServer();
    }
    // Takes the first frame that came and matches; in order, only the first that came.
    bool take(const QJsonObject &expected, bool inOrder = false)
    {
        for (qsizetype i = 0; i < (inOrder ? std::min<qsizetype>(1, inbox.size()) : inbox.size()); ++i)
            if (testsupport::frameDifference(expected, inbox[i], QString()).isEmpty()) {
                inbox.removeAt(i);
                return true;
            }
        return false;
    }
    // All of a stream, once compared as a whole, leaves the inbox.
    QString joined(const QString &id, const QString &stream, bool drop = false)
    {
        const auto of = [&](const QJsonObject &o) { return o.value("event") == stream && o.value("process-id") == id; };
        QString text;
        for (const QJsonObject &o : std::as_const(m_all))
            text += of(o) ? o.value("data").toString() : QString();
        if (drop)
            inbox.removeIf(of);
        return text;
    }
    QList<QJsonObject> inbox;

private:
    QLocalSocket m_socket;
    framing::FrameReader m_reader;
    QTimer m_heartbeat;
    QList<QJsonObject> m_all;
};

QString describe(const QList<QJsonObject> &frames)
{
    QString lines = frames.isEmpty() ? QStringLiteral(" (nothing)") : QString();
    for (const QJsonObject &o : frames)
        lines += "\n    " + compact(o);
    return lines;
}

// The example exchange of the protocol document as transcript lines. Its programs are shell
// scripts: they run as the stand-in that behaves the same on every platform (helpers/docchild).
QStringList documentTranscript()
{
    const QString text = QString::fromUtf8(testsupport::readFile(QStringLiteral(TARND_SOURCE_DIR "/docs/protocol.md")));
    const QString section = text.section(QStringLiteral("## An example exchange"), 1).section(QStringLiteral("\n## "), 0, 0);
    static const QRegularExpression block(QStringLiteral("```json (client|daemon)\\n(.*?)\\n```"),
                                          QRegularExpression::DotMatchesEverythingOption);
    const QMap<QString, QStringList> standIns{{"echo hello; exit 3", {"print", "hello", "3"}}, {"exec sleep 60", {"wait"}}};
    QStringList lines;
    for (auto it = block.globalMatch(section); it.hasNext();) {
        const auto m = it.next();
        QJsonObject frame = QJsonDocument::fromJson(m.captured(2).toUtf8()).object();
        if (m.captured(1) == "daemon") {
            if (frame.value("event") != "connected") // the greeting is the runner's own to take
                lines << "< " + compact(frame);
            continue;
        }
        if (frame.contains("log-path"))
            frame.insert("log-path", "{dir}/client/tarnd.log");
        if (frame.contains("executable")) {
            const QJsonArray args = frame.value("arguments").toArray();
            frame.insert("executable", QStringLiteral(HELPER_DOCCHILD));
            frame.insert("arguments", QJsonArray::fromStringList(standIns.value(args.size() == 2 ? args[1].toString() : QString(),
                                                                                {"no stand-in for this program"})));
        }
        lines << "> " + compact(frame);
    }
    return lines << "quiet a";
}

} // namespace

class TestTranscripts : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void theComparisonSeesDrift()
    {
        // A replay is only worth something if a changed key, value or element fails it.
        const QJsonObject doc{{"status", "success"}, {"pid", "<pid>"}, {"processes", QJsonArray{1}}};
        QJsonObject same = doc;
        same.insert("pid", 7);
        QVERIFY(testsupport::frameDifference(doc, same, "f").isEmpty());
        for (const auto &[key, value] : QList<std::pair<QString, QJsonValue>>{
                 {"status", "error"}, {"pid", QJsonValue::Undefined}, {"processes", QJsonArray{}}, {"x", 1}}) {
            QJsonObject drifted = same;
            drifted.insert(key, value);
            QVERIFY2(!testsupport::frameDifference(doc, drifted, "f").isEmpty(), qPrintable(key));
        }
    }

    void replay_data()
    {
        QTest::addColumn<QString>("file");
        const QDir dir(QStringLiteral(TARND_SOURCE_DIR "/tests/transcripts"));
        const QStringList names = dir.entryList({"*.txt"}, QDir::Files, QDir::Name);
        QVERIFY2(!names.isEmpty(), qPrintable("no transcripts in " + dir.path()));
        for (const QString &name : names)
            QTest::newRow(qPrintable(name)) << dir.filePath(name);
        QTest::newRow("protocol.md") << QStringLiteral(TARND_SOURCE_DIR "/docs/protocol.md");
    }

    void replay()
    {
        QFETCH(QString, file);
        const bool inOrder = file.endsWith(".md");
        const QStringList lines = inOrder ? documentTranscript() : QString::fromUtf8(testsupport::readFile(file)).split('\n');
        QVERIFY(lines.size() >= 10);
        QStringList env;
        for (const QString &line : lines)
            if (line.startsWith("env "))
                env << line.mid(4).trimmed();
        Daemon d;
        QVERIFY(d.start(env));
        std::map<QString, std::unique_ptr<Client>> clients;
        const auto client = [&](const QString &name) -> Client * {
            auto &c = clients[name];
            if (!c && !(c = std::make_unique<Client>())->open(d.socketPath()))
                return nullptr;
            return c.get();
        };
        qsizetype logAt = 0;
        static const QRegularExpression frameLine(QStringLiteral("^([a-z]?)([<>])\\s*(\\{.*\\})\\s*$"));
        const QString platform = QStringLiteral(TARND_PLATFORM);
        for (int n = 0; n < lines.size(); ++n) {
            QString line = lines[n].trimmed();
            const QString where = QStringLiteral("%1:%2: ").arg(QFileInfo(file).fileName()).arg(n + 1);
            if (line.startsWith("linux:") || line.startsWith("windows:")) {
                if (!line.startsWith(platform + ":"))
                    continue;
                line = line.section(':', 1).trimmed();
            }
            if (line.isEmpty() || line.startsWith('#') || line.startsWith("env "))
                continue;
            line.replace("{dir}", QDir::fromNativeSeparators(d.path(QString())).chopped(1));
            line.replace("{helper}", QDir::fromNativeSeparators(Helper));
            const QString word = line.section(' ', 0, 0);
            const QString rest = line.section(' ', 1);
            // QtTest cuts a failure's text at about a kilobyte: the end of the log is shown first.
            const auto logEnd = [&](int size) -> QString {
                return "\n  the log's end:\n" + d.log().mid(logAt).right(size);
            };
            if (const auto m = frameLine.match(line); m.hasMatch()) {
                QJsonParseError error;
                const QJsonObject frame = QJsonDocument::fromJson(m.captured(3).toUtf8(), &error).object();
                QVERIFY2(!frame.isEmpty(), qPrintable(where + error.errorString()));
                Client *c = client(m.captured(1).isEmpty() ? QStringLiteral("a") : m.captured(1));
                QVERIFY2(c, qPrintable(where + "cannot connect"));
                if (m.captured(2) == ">") {
                    c->send(frame);
                    continue;
                }
                const bool came = QTest::qWaitFor([&] { return c->take(frame, inOrder); }, WaitMs);
                QVERIFY2(came, qPrintable(where + "no frame like " + compact(frame) + "\n  the last that came:"
                                          + describe(c->inbox.mid(c->inbox.size() - 3)) + logEnd(300)));
            } else if (word == "stdout" || word == "stderr") {
                Client *c = client(rest.section(' ', 0, 0));
                const QString id = rest.section(' ', 1, 1);
                const QString text = unescape(rest.section(' ', 2));
                QVERIFY(c);
                (void)QTest::qWaitFor([&] { return c->joined(id, word) == text; }, WaitMs);
                QVERIFY2(c->joined(id, word, true) == text,
                         qPrintable(where + word + " of " + id + " is " + c->joined(id, word)));
            } else if (word == "quiet") {
                Client *c = client(rest);
                QVERIFY(c);
                c->send({{"action", "heartbeat"}, {"request-id", "quiet"}});
                QVERIFY(QTest::qWaitFor([c] { return c->take({{"status", "success"}, {"request-id", "quiet"}}); }, WaitMs));
                QVERIFY2(c->inbox.isEmpty(), qPrintable(where + "more came:" + describe(c->inbox)));
            } else if (word == "silent" || word == "close") {
                QVERIFY(client(rest));
                word == "close" ? client(rest)->close() : client(rest)->silence();
            } else if (word == "log") {
                const bool logged = QTest::qWaitFor([&] { return d.log().indexOf(rest, logAt) >= 0; }, WaitMs);
                QVERIFY2(logged, qPrintable(where + "not logged: " + rest + logEnd(600)));
                logAt = d.log().indexOf(rest, logAt) + rest.size();
            } else if (word == "logged" || word == "nolog") {
                QVERIFY2(word == "nolog" ? !d.log().contains(rest) : d.waitForLog(rest, WaitMs),
                         qPrintable(where + word + ": " + rest + logEnd(600)));
            } else if (word == "file" || word == "nofile") {
                const QString path = rest.section(' ', 0, 0), text = unescape(rest.section(' ', 1));
                const auto has = [&] { return QFileInfo::exists(path) && testsupport::readFile(path).contains(text.toUtf8()); };
                // A file that should be there is waited for; one that should not is not.
                QVERIFY2(word == "file" ? QTest::qWaitFor(has, WaitMs) : !has(),
                         qPrintable(where + word + " " + path + " " + text));
            } else if (word == "write") {
                const QString path = rest.section(' ', 0, 0);
                QDir().mkpath(QFileInfo(path).path());
                testsupport::writeFile(path, unescape(rest.section(' ', 1)).toUtf8());
            } else if (word == "exits" || word == "stop") {
                if (word == "stop")
                    d.stop();
                QCOMPARE(d.waitForExit(), word == "stop" ? 0 : rest.toInt());
            } else {
                QFAIL(qPrintable(where + "not a transcript line: " + line));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestTranscripts)
#include "tst_transcripts.moc"
