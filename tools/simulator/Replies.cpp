#include "Replies.h"

#include "JsonText.h"

namespace cssim {

std::string Dump(const Json& document) {
    std::string text;
    AppendJson(text, document);
    return text;
}

SimResponse JsonReply(int status, const std::string& responseKey, const Json& content) {
    SimResponse reply;
    reply.status = status;
    reply.contentType = kJsonContentType;
    reply.body = "{" + Dump(responseKey) + ":" + Dump(content) + "}";
    return reply;
}

SimResponse ErrorReply(const std::string& responseKey, int code, int serverCode, const std::string& text) {
    Json content = Json::object();
    content["uuidList"] = Json::array();
    content["errorcode"] = code;
    if (serverCode != 0) content["cserrorcode"] = serverCode;
    content["errortext"] = text;
    return JsonReply(code, responseKey, content);
}

SimResponse MissingParameter(const std::string& command, const std::string& parameter) {
    return ErrorReply(command + "response", kParameterError, kServerErrorCode,
                      "Unable to execute API command " + command + " due to missing parameter " + parameter);
}

SimResponse InvalidValue(const std::string& command, const std::string& parameter, const std::string& value) {
    return ErrorReply(command + "response", kParameterError, kServerErrorCode,
                      "Unable to execute API command " + command + " due to invalid value. Invalid parameter " +
                          parameter + " value=" + value +
                          " due to incorrect long value format, or entity does not exist or due to incorrect "
                          "parameter annotation for the field in api cmd class.");
}

SimResponse NotAuthenticated(const std::string& responseKey) {
    return ErrorReply(responseKey, 401, 0, "unable to verify user credentials and/or request signature");
}

ListBodyWriter::ListBodyWriter(const std::string& responseKey, const std::string& itemKey, std::size_t total,
                               std::size_t sizeHint)
    : itemKey_(itemKey), total_(total) {
    body_.reserve(sizeHint + responseKey.size() + itemKey.size() + 40);
    body_ += "{\"" + responseKey + "\":{";
    if (total_ != 0) body_ += "\"count\":" + std::to_string(total_);
}

void ListBodyWriter::Add(const std::string& recordText) {
    body_ += any_ ? "," : ",\"" + itemKey_ + "\":[";
    body_ += recordText;
    any_ = true;
}

std::string ListBodyWriter::Finish() {
    if (any_) body_ += "]";
    body_ += "}}";
    return std::move(body_);
}

SimResponse PlainReply(int status, const std::string& body) {
    SimResponse reply;
    reply.status = status;
    reply.contentType = "text/plain;charset=utf-8";
    reply.body = body;
    return reply;
}

}  // namespace cssim
