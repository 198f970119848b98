#ifndef SIGNINFIXTURE_H
#define SIGNINFIXTURE_H

#include "XClient.h"
#include "importservice.h"
#include "testpage.h"

#include <QCryptographicHash>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QTest>

// The simulated service on a free loopback port, reached through Qt's
// application proxy exactly as the plug-in's fixed endpoint would be, and
// a client bound to a recording page.
struct SignInFixture {
    ImportService service;
    TestPage page;
    XClient client{page.frame(), &page};
    bool ready = service.listen(0) && page.ready();

    SignInFixture()
    {
        QNetworkProxy::setApplicationProxy({QNetworkProxy::HttpProxy, "127.0.0.1", service.port()});
        client.setRetryDelays({1, 2, 4, 8, 16}); // the field's backoff, in ms rather than seconds
    }
    ~SignInFixture() { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); }

    void signIn(const QString &password = ImportService::demoPassword,
                const QString &clientId = ImportService::demoClientId)
    {
        client.setCredentials(clientId, ImportService::demoClientKey, password);
        QString ok = QStringLiteral("onOk"), err = QStringLiteral("onErr");
        client.login(ok, err);
    }

    // Signs in with the demo account and waits for the success callback.
    bool signedIn()
    {
        signIn();
        return page.waitForCallbacks(1) && page.received().at(0)[QLatin1String("cb")] == QLatin1String("onOk");
    }

    // The renewal, computed here independently of the client.
    static QString renewed(const QString &token, const QString &password = ImportService::demoPassword,
                           const QString &key = ImportService::demoClientKey)
    {
        auto md5 = [](const QString &text) {
            return QString::fromLatin1(QCryptographicHash::hash(text.toLatin1(), QCryptographicHash::Md5).toHex());
        };
        return token.left(48) + md5(token + md5(password) + key);
    }
};

#endif
