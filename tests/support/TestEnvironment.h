#pragma once

#include <QString>
#include <QTemporaryDir>

// Points the XDG folders (and HOME) into a fresh temporary folder for the length of one test function,
// so that settings and application data never touch the real user's files.
class TestEnvironment
{
    Q_DISABLE_COPY_MOVE(TestEnvironment)

public:
    TestEnvironment();
    ~TestEnvironment();

    QString path() const;
    QString settingsFilePath() const;
    QString appDataPath() const;

private:
    QTemporaryDir m_dir;
};

// Sets the application identity the program uses, so settings land where the program puts them.
void setProgramIdentity();
