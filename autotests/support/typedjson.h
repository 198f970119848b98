#ifndef TYPEDJSON_H
#define TYPEDJSON_H

#include <QJsonValue>
#include <QVariant>

// XML-RPC values as typed JSON, the form the Python peer speaks:
// {"int": 1}, {"string": "a"}, {"array": [...]}, {"struct": {...}}, {"nil": null}.
QJsonValue typedJson(const QVariant &value);

#endif
