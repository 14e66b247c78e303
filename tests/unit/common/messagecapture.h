#pragma once

// Log messages written while a MessageCapture lives are collected instead of printed, or
// collected and passed on to the handler that was there before. One capture at a time.

#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

struct LoggedMessage {
    QtMsgType type;
    QString text;
    QString function;
};

class MessageCapture {
public:
    enum class Forward { No, Yes };

    explicit MessageCapture(Forward forward = Forward::No) {
        clear();
        s_forward = forward == Forward::Yes;
        m_previous = qInstallMessageHandler(&MessageCapture::handle);
        s_previous = m_previous;
    }
    ~MessageCapture() { qInstallMessageHandler(m_previous); }
    MessageCapture(const MessageCapture&) = delete;
    MessageCapture& operator=(const MessageCapture&) = delete;

    QList<LoggedMessage> messages() const {
        QMutexLocker lock(&s_mutex);
        return s_messages;
    }

    QList<LoggedMessage> ofType(QtMsgType type) const {
        QList<LoggedMessage> result;
        for (const LoggedMessage& m : messages()) {
            if (m.type == type) {
                result.append(m);
            }
        }
        return result;
    }

    QStringList texts(QtMsgType type) const {
        QStringList result;
        for (const LoggedMessage& m : ofType(type)) {
            result.append(m.text);
        }
        return result;
    }

    void clear() {
        QMutexLocker lock(&s_mutex);
        s_messages.clear();
    }

private:
    // Messages may come from worker threads too.
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        {
            QMutexLocker lock(&s_mutex);
            s_messages.append({type, text, QString::fromUtf8(context.function)});
        }
        if (s_forward && s_previous) {
            s_previous(type, context, text);
        }
    }

    inline static QMutex s_mutex;
    inline static QList<LoggedMessage> s_messages;
    inline static bool s_forward = false;
    inline static QtMessageHandler s_previous = nullptr;
    QtMessageHandler m_previous = nullptr;
};
