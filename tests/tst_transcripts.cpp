// The transcripts under tests/transcripts, each replayed against a fresh real daemon: what a
// client sends, and the frames and log lines that must come back. Their syntax:
//
//   # ...                 a comment; the first one says what the transcript pins
//   env NAME=VALUE        in the daemon's environment (QT_LOGGING_RULES=tarnd.debug=true: its
//                         debug lines too)
//   > {...}               client a sends this frame ({helper}: the child helper, {dir}: the
//   b> {...}              daemon's private folder); b, c, ... are further clients, each
//                         connected at its first use
//   < {...}               a frame like this one reaches client a: the first of those that came
//   b< {...}              and were not matched yet, waited for. The same keys, the same values;
//                         "<...>" stands for any value
//   stdout a ID TEXT      what the process ID wrote to stdout, as client a received it, is TEXT
//                         (\n, \t, \\ escaped); stderr the same
//   quiet a               nothing more came to client a than what was matched
//   close a               client a goes
//   silent a              client a sends no more heartbeats of its own
//   log TEXT              the daemon logs TEXT, after the previous log line matched
//   logged TEXT           the daemon logs TEXT, anywhere (a line of another thread)
//   nolog TEXT            nothing logged so far has TEXT
//   file PATH TEXT        the file PATH ({dir}/...) has TEXT; "file PATH" alone: it exists
//   nofile PATH [TEXT]    there is no file PATH, or it lacks TEXT
//   write PATH TEXT       makes the file PATH with TEXT, and its folder
//   stop                  the daemon is stopped as the service manager does it, and ends with 0
//   exits CODE            the daemon ends by itself with CODE
//   linux: LINE           LINE on one platform only (windows: the other)
//
// Each client heartbeats by itself, and its heartbeats' answers are not part of the transcript.
//
// The example exchange of docs/protocol.md is replayed too, as a transcript of its own whose
// frames must come in exactly the document's order: client authors copy from it.

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
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const QChar c = text[++i];
        out += c == 'n' ? QChar('\n') : c == 't' ? QChar('\t') : c;
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
        QObject::connect(&m_socket, &QLocalSocket::readyRead, [this] { read(); });
        QObject::connect(&m_heartbeat, &QTimer::timeout, [this] {
            m_socket.write(framing::encode({{"action", "heartbeat"}, {"request-id", "hb"}}));
        });
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
        for (qsizetype i = 0; i < (inOrder ? std::min<qsizetype>(1, m_inbox.size()) : m_inbox.size()); ++i) {
            if (testsupport::frameDifference(expected, m_inbox[i], QString()).isEmpty()) {
                m_inbox.removeAt(i);
                return true;
            }
        }
        return false;
    }
    QString joined(const QString &id, const QString &stream) const
    {
        QString text;
        for (const QJsonObject &o : m_all)
            if (o.value("event") == stream && o.value("process-id") == id)
                text += o.value("data").toString();
        return text;
    }
    const QList<QJsonObject> &inbox() const { return m_inbox; }
    // Drops the frames of output streams once they were compared as a whole.
    void dropStream(const QString &id, const QString &stream)
    {
        m_inbox.removeIf([&](const QJsonObject &o) { return o.value("event") == stream && o.value("process-id") == id; });
    }
    bool roundTrip()
    {
        send({{"action", "heartbeat"}, {"request-id", "quiet"}});
        return QTest::qWaitFor([this] { return take({{"status", "success"}, {"request-id", "quiet"}}); }, WaitMs);
    }

private:
    void read()
    {
        m_reader.append(m_socket.readAll());
        QJsonObject o;
        while (m_reader.next(&o) == framing::FrameReader::Result::Message) {
            if (o.value("request-id") == QLatin1String("hb"))
                continue;
            m_inbox << o;
            m_all << o;
        }
    }
    QLocalSocket m_socket;
    framing::FrameReader m_reader;
    QTimer m_heartbeat;
    QList<QJsonObject> m_inbox;
    QList<QJsonObject> m_all;
};

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
            // The greeting is the runner's own to take.
            if (frame.value("event") != "connected")
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

QString describe(const QList<QJsonObject> &frames)
{
    QStringList lines;
    for (const QJsonObject &o : frames)
        lines << "    " + compact(o);
    return lines.isEmpty() ? QStringLiteral("    (nothing)") : lines.join('\n');
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
            if (!c) {
                c = std::make_unique<Client>();
                if (!c->open(d.socketPath()))
                    return nullptr;
            }
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
            if (const auto m = frameLine.match(line); m.hasMatch()) {
                QJsonParseError error;
                const QJsonDocument doc = QJsonDocument::fromJson(m.captured(3).toUtf8(), &error);
                QVERIFY2(doc.isObject(), qPrintable(where + error.errorString()));
                Client *c = client(m.captured(1).isEmpty() ? QStringLiteral("a") : m.captured(1));
                QVERIFY2(c, qPrintable(where + "cannot connect"));
                if (m.captured(2) == ">") {
                    c->send(doc.object());
                    continue;
                }
                const bool came = QTest::qWaitFor([&] { return c->take(doc.object(), inOrder); }, WaitMs);
                // A failure's text is cut at about a kilobyte: the last of what came, and of the log, first.
                QVERIFY2(came, qPrintable(where + "no frame like " + compact(doc.object()) + "\n  the last that came:\n"
                                          + describe(c->inbox().mid(c->inbox().size() - 3)) + "\n  the log's end:\n"
                                          + d.log().right(300)));
                continue;
            }
            const QString word = line.section(' ', 0, 0);
            const QString rest = line.section(' ', 1);
            if (word == "stdout" || word == "stderr") {
                Client *c = client(rest.section(' ', 0, 0));
                const QString id = rest.section(' ', 1, 1);
                const QString text = unescape(rest.section(' ', 2));
                QVERIFY(c);
                (void)QTest::qWaitFor([&] { return c->joined(id, word) == text; }, WaitMs);
                QVERIFY2(c->joined(id, word) == text, qPrintable(where + word + " of " + id + " is " + c->joined(id, word)));
                c->dropStream(id, word);
            } else if (word == "quiet") {
                Client *c = client(rest);
                QVERIFY(c && c->roundTrip());
                QVERIFY2(c->inbox().isEmpty(), qPrintable(where + "more came:\n" + describe(c->inbox())));
            } else if (word == "silent") {
                QVERIFY(client(rest));
                client(rest)->silence();
            } else if (word == "close") {
                QVERIFY(client(rest));
                client(rest)->close();
            } else if (word == "log") {
                const bool logged = QTest::qWaitFor([&] { return d.log().indexOf(rest, logAt) >= 0; }, WaitMs);
                QVERIFY2(logged, qPrintable(where + "not logged: " + rest + "\n  the log's end (QtTest cuts a long message):\n" + d.log().mid(logAt).right(900)));
                logAt = d.log().indexOf(rest, logAt) + rest.size();
            } else if (word == "logged") {
                QVERIFY2(d.waitForLog(rest, WaitMs), qPrintable(where + "not logged: " + rest + "\n  the log's end:\n" + d.log().right(900)));
            } else if (word == "nolog") {
                QVERIFY2(!d.log().contains(rest), qPrintable(where + "logged: " + rest));
            } else if (word == "file") {
                const QString path = rest.section(' ', 0, 0), text = unescape(rest.section(' ', 1));
                const bool has = QTest::qWaitFor([&] { return QFileInfo::exists(path) && testsupport::readFile(path).contains(text.toUtf8()); }, WaitMs);
                QVERIFY2(has, qPrintable(where + path + " does not hold " + text));
            } else if (word == "nofile") {
                const QString path = rest.section(' ', 0, 0), text = unescape(rest.section(' ', 1));
                const bool lacks = !QFileInfo::exists(path) || (!text.isEmpty() && !testsupport::readFile(path).contains(text.toUtf8()));
                QVERIFY2(lacks, qPrintable(where + path + " exists or holds " + text));
            } else if (word == "write") {
                const QString path = rest.section(' ', 0, 0);
                QDir().mkpath(QFileInfo(path).path());
                testsupport::writeFile(path, unescape(rest.section(' ', 1)).toUtf8());
            } else if (word == "exits") {
                QCOMPARE(d.waitForExit(), rest.toInt());
            } else if (word == "stop") {
                d.stop();
                QCOMPARE(d.waitForExit(), 0);
            } else {
                QFAIL(qPrintable(where + "not a transcript line: " + line));
            }
        }

    }
};

QTEST_GUILESS_MAIN(TestTranscripts)
#include "tst_transcripts.moc"
