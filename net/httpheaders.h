#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>

#include <initializer_list>
#include <utility>

class QNetworkReply;

/**
 * HTTP header fields of a request or a response. Field names are compared
 * without regard to letter case, as HTTP has them: a lookup of "ETag" finds
 * "etag", "Etag" or "ETAG", and setting a name replaces any spelling of it.
 * Every header the updater reads goes through value().
 */
class HttpHeaders
{
public:
    using Field = QPair<QByteArray, QByteArray>;

    HttpHeaders() = default;
    HttpHeaders(std::initializer_list<std::pair<const char *, QByteArray>> fields);

    /// The response headers of @p reply, and its status. (Qt joins a header that a reply repeats into one "a, b" field.)
    static HttpHeaders of(const QNetworkReply &reply);
    /// The HTTP status of the response these are the headers of; 0 when none came (or for a request's headers).
    int status() const { return m_status; }

    /// Takes @p answer's status and, when @p withFields, its fields, replacing those of the same names.
    void takeAnswer(const HttpHeaders &answer, bool withFields);
    /// Sets @p name to @p value, replacing the field under any spelling of @p name.
    void set(const QByteArray &name, const QByteArray &value);
    /// The value of @p name in any spelling; empty when there is none.
    QByteArray value(const QByteArray &name) const;
    bool contains(const QByteArray &name) const;
    bool isEmpty() const { return m_fields.isEmpty(); }
    /// The fields in the order of their names, each name spelt as it was last set.
    QList<Field> fields() const { return m_fields.values(); }

    bool operator==(const HttpHeaders &other) const { return m_fields == other.m_fields && m_status == other.m_status; }
    bool operator!=(const HttpHeaders &other) const { return !(*this == other); }

private:
    // Keyed by the name in lower case.
    QMap<QByteArray, Field> m_fields;
    int m_status = 0;
};
