#include "httpheaders.h"

#include <QNetworkReply>
#include <QNetworkRequest>

HttpHeaders::HttpHeaders(std::initializer_list<std::pair<const char *, QByteArray>> fields)
{
    for (const auto &field : fields)
        set(QByteArray(field.first), field.second);
}

HttpHeaders HttpHeaders::of(const QNetworkReply &reply)
{
    HttpHeaders headers;
    for (const Field &field : reply.rawHeaderPairs())
        headers.set(field.first, field.second);
    headers.m_status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return headers;
}

void HttpHeaders::set(const QByteArray &name, const QByteArray &value)
{
    m_fields.insert(name.toLower(), {name, value});
}

QByteArray HttpHeaders::value(const QByteArray &name) const
{
    return m_fields.value(name.toLower()).second;
}

bool HttpHeaders::contains(const QByteArray &name) const
{
    return m_fields.contains(name.toLower());
}

void HttpHeaders::takeAnswer(const HttpHeaders &answer, bool withFields)
{
    m_status = answer.m_status;
    if (withFields) {
        for (const Field &field : answer.fields())
            set(field.first, field.second);
    }
}
