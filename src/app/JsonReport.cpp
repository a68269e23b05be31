#include "app/JsonReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

namespace quilvane {
namespace {

QJsonValue Text(const std::string& text) {
    return QString::fromStdString(text);
}

// A text the report may lack: null rather than "".
QJsonValue TextOrNull(const std::string& text) {
    return text.empty() ? QJsonValue(QJsonValue::Null) : Text(text);
}

void AddValidation(QJsonObject& object, const Validation& validation) {
    object.insert(QStringLiteral("indication"), Text(NameOf(validation.indication)));
    object.insert(QStringLiteral("subIndication"), TextOrNull(NameOf(validation.subIndication)));
}

const char* StateName(RevocationState state) {
    switch (state) {
        case RevocationState::Good:
            return "good";
        case RevocationState::Revoked:
            return "revoked";
        case RevocationState::Unknown:
            return "unknown";
        case RevocationState::NotChecked:
            return "not checked";
        case RevocationState::NotPublished:
            break;
    }
    return "not published";
}

QJsonObject RevocationJson(const RevocationStatus& revocation) {
    QJsonObject object{{QStringLiteral("state"), Text(StateName(revocation.state))}};
    const auto add = [&](const char* name, const std::string& text) {
        if (!text.empty()) {
            object.insert(QString::fromLatin1(name), Text(text));
        }
    };
    add("source", revocation.source);
    add("time", revocation.producedAt != 0 ? IsoDateTime(revocation.producedAt) : "");
    add("revokedAt",
        revocation.state == RevocationState::Revoked ? IsoDateTime(revocation.revokedAt) : "");
    add("reason", revocation.reason);
    add("why", revocation.why);
    return object;
}

QJsonArray TimeStampsJson(const std::vector<TimeStampProof>& stamps) {
    QJsonArray array;
    for (const TimeStampProof& stamp : stamps) {
        QJsonObject object{{QStringLiteral("time"), Text(IsoDateTime(stamp.time))},
                           {QStringLiteral("authority"), Text(stamp.authority)},
                           {QStringLiteral("result"), Text(stamp.valid ? "valid" : "invalid")}};
        if (!stamp.valid && !stamp.problem.empty()) {
            object.insert(QStringLiteral("problem"), Text(stamp.problem));
        }
        array.append(object);
    }
    return array;
}

QJsonObject SignerJson(const SignerReport& signer) {
    const CertificateTrust& certificate = signer.certificate;
    QJsonArray chain;
    for (const ChainLink& link : certificate.chain) {
        chain.append(QJsonObject{{QStringLiteral("subject"), Text(link.subject)},
                                 {QStringLiteral("issuer"), Text(link.issuer)},
                                 {QStringLiteral("serial"), Text(link.serial)},
                                 {QStringLiteral("sha256"), Text(link.sha256)}});
    }
    QJsonObject object{
        {QStringLiteral("name"), Text(certificate.subject)},
        {QStringLiteral("issuer"), Text(certificate.issuer)},
        {QStringLiteral("serial"), Text(certificate.serial)},
        {QStringLiteral("sha256"), Text(certificate.sha256)},
        {QStringLiteral("signingTime"),
         signer.signingTime ? Text(IsoDateTime(*signer.signingTime)) : QJsonValue()},
        {QStringLiteral("level"), Text(NameOf(signer.level))},
        {QStringLiteral("chain"), chain},
        {QStringLiteral("revocation"), RevocationJson(certificate.revocation)},
        {QStringLiteral("timeStamps"), TimeStampsJson(certificate.timeStamps)},
    };
    AddValidation(object, signer.validation);
    return object;
}

QJsonObject FileJson(const FileReport& file) {
    QJsonArray signers;
    for (const SignerReport& signer : file.signers) {
        signers.append(SignerJson(signer));
    }
    QJsonObject object{
        {QStringLiteral("path"), Text(file.path)},
        {QStringLiteral("outcome"), Text(NameOf(file.outcome))},
        {QStringLiteral("error"), TextOrNull(file.error)},
        {QStringLiteral("detail"), TextOrNull(file.detail)},
        {QStringLiteral("signers"), signers},
    };
    AddValidation(object, file.validation);
    return object;
}

}  // namespace

std::string ReportJson(const std::vector<FileReport>& files) {
    QJsonArray array;
    for (const FileReport& file : files) {
        array.append(FileJson(file));
    }
    const QJsonDocument document(QJsonObject{{QStringLiteral("files"), array}});
    return document.toJson(QJsonDocument::Indented).toStdString();
}

}  // namespace quilvane
