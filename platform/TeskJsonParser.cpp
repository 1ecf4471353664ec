#include "TeskJsonParser.h"

TeskJsonParser::TeskJsonParser() : m_Log(nullptr) {}

TeskJsonParser::~TeskJsonParser() = default;
