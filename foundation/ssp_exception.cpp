#include "foundation/ssp_exception.h"

#include <utility>

CSspException::CSspException(const char* message, int position)
    : m_message(message ? message : ""), m_position(position)
{}

CSspException::CSspException(std::string message, int position) : m_message(std::move(message)), m_position(position)
{}
