#include "app/Deployment.h"
#include "app/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace wispline;

class TestSettings : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // The system-wide file of this machine must not decide the results.
        QVERIFY(system_.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, system_.path());
    }

    void init()
    {
        QSettings s(settings::filePath(), QSettings::IniFormat);
        s.clear();
        s.sync();
    }

    void toBool_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("expected");

        QTest::newRow("true in lower case") << "true" << true;
        QTest::newRow("0") << "0" << false;
        QTest::newRow("-1") << "-1" << true;
        QTest::newRow("fraction") << "0.5" << true;
        QTest::newRow("junk") << "junk" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("number then letters") << "1abc" << false;
        QTest::newRow("written form of true") << settings::fromBool(true) << true;
        QTest::newRow("written form of false") << settings::fromBool(false) << false;
    }

    void toBool()
    {
        QFETCH(QString, text);
        QTEST(settings::toBool(text), "expected");
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("spaces kept") << "  Lease Line ";
        QTest::newRow("empty, not the default") << "";
        QTest::newRow("non-latin text") << QString::fromUtf8("Ärger über €");
    }

    void roundTrip()
    {
        QFETCH(QString, value);
        QCOMPARE(settings::get(settings::kMode, QStringLiteral("Internet")),
                 QStringLiteral("Internet"));
        settings::save(settings::kMode, value);
        QCOMPARE(settings::get(settings::kMode, QStringLiteral("Internet")), value);
        // Written through at once, under the section the program uses.
        QSettings s(settings::filePath(), QSettings::IniFormat);
        QCOMPARE(s.value(QStringLiteral("AkSettings/AkWLMode")).toString(), value);
        QCOMPARE(s.allKeys(), QStringList{"AkSettings/AkWLMode"});
    }

    void corruptFileSetAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("unclosed section") << QByteArray("[AkSettings\nAkWLUser=BOB\n");
        QTest::newRow("binary garbage") << QByteArray("\x00\x01\xff\xfe[garbage", 12);
    }

    void corruptFileSetAside()
    {
        QFETCH(QByteArray, content);
        const QFileInfo store(settings::filePath());
        QDir folder = store.dir();
        for (const QString& old :
             folder.entryList({store.fileName() + QStringLiteral(".corrupt-*")}))
            folder.remove(old);
        {
            QFile file(store.filePath());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("could not be read")));

        settings::save(settings::kMode, QStringLiteral("LAN"));
        settings::save(settings::kSize, QStringLiteral("True"));

        QCOMPARE(settings::get(settings::kMode), QStringLiteral("LAN"));
        QCOMPARE(settings::get(settings::kSize), QStringLiteral("True"));
        QCOMPARE(settings::get(settings::kUser, QStringLiteral("default")),
                 QStringLiteral("default"));
        const QStringList aside =
            folder.entryList({store.fileName() + QStringLiteral(".corrupt-*")});
        QCOMPARE(aside.size(), 1);
        QFile kept(folder.filePath(aside.first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), content);
    }

    void deploymentServers_data()
    {
        QTest::addColumn<QByteArray>("systemFile"); // empty: no file
        QTest::addColumn<QString>("internet");
        QTest::addColumn<QString>("other");

        const QString builtInInternet = QStringLiteral(WISPLINE_INTERNET_SERVER);
        const QString builtInOther = QStringLiteral(WISPLINE_DEFAULT_SERVER);
        QTest::newRow("no system file: built in")
            << QByteArray() << builtInInternet << builtInOther;
        QTest::newRow("both set")
            << QByteArray("[Deployment]\nInternetServer=203.0.113.5\nDefaultServer=chat.example\n")
            << "203.0.113.5"
            << "chat.example";
        QTest::newRow("blank or missing keys: built in")
            << QByteArray("[Deployment]\nInternetServer=  \n") << builtInInternet << builtInOther;
        QTest::newRow("spaces around trimmed")
            << QByteArray("[Deployment]\nDefaultServer = \" 10.0.0.7 \"\n") << builtInInternet
            << "10.0.0.7";
    }

    void deploymentServers()
    {
        QFETCH(QByteArray, systemFile);
        const QString path = system_.filePath(QStringLiteral("AkWispline/AkWispline.ini"));
        QFile::remove(path);
        if (!systemFile.isEmpty()) {
            QVERIFY(QDir().mkpath(QFileInfo(path).path()));
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(systemFile);
        }
        // Only the administrator's file counts, not the user's own.
        QSettings user(settings::filePath(), QSettings::IniFormat);
        user.setValue(QStringLiteral("Deployment/InternetServer"), QStringLiteral("evil.example"));
        user.setValue(QStringLiteral("Deployment/DefaultServer"), QStringLiteral("evil.example"));
        user.sync();

        QTEST(deploymentServer(DeploymentServer::Internet), "internet");
        QTEST(deploymentServer(DeploymentServer::Default), "other");
    }

private:
    QTemporaryDir system_;
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
