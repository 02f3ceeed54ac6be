// The one translation unit that compiles Asio and Beast for the whole program; every other
// file sees only their declarations (separate compilation keeps builds short).
#include <boost/asio/impl/src.hpp>
#include <boost/beast/src.hpp>
