#pragma once

// Boost.Beast's HTTP and Boost.Asio, as qpk serve and its tests include them.
// GCC 12 takes the empty boost::optional that Beast's parser returns for a
// missing Content-Length as maybe uninitialised when the sanitizers are on;
// the warning is silenced for these headers only.

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#pragma GCC diagnostic pop
