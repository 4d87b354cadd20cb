#include "support/news_server.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sstream>

namespace gdtest {

NewsServer::NewsServer(const std::string& page) {
    writeFile(work_.path() / "page.html", page);
    server_ = std::make_unique<ScriptServer>(std::vector<std::string>{
        GD_NEWS_SERVER_SCRIPT, "--page", (work_.path() / "page.html").string(), "--record",
        (work_.path() / "requests.jsonl").string()});
}

std::string NewsServer::address(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port()) + path;
}

std::vector<HttpRequest> NewsServer::requests() const {
    std::vector<HttpRequest> result;
    std::istringstream in(readFile(work_.path() / "requests.jsonl"));
    for (std::string line; std::getline(in, line);) {
        const QJsonObject entry = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        HttpRequest request;
        request.method = entry["method"].toString().toStdString();
        request.path = entry["path"].toString().toStdString();
        if (request.path == "/favicon.ico") continue;
        const QJsonObject headers = entry["headers"].toObject();
        for (auto it = headers.begin(); it != headers.end(); ++it)
            request.headers[it.key().toStdString()] = it.value().toString().toStdString();
        request.body = QByteArray::fromHex(entry["body_hex"].toString().toLatin1()).toStdString();
        result.push_back(std::move(request));
    }
    return result;
}

}  // namespace gdtest
