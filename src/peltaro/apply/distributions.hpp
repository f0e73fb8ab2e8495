#pragma once
// The one policy under which the apply layer evaluates Boost.Math
// distributions: a distribution that cannot be formed, an argument outside
// its domain or a series that does not converge gives NaN (an overflow
// ±infinity) instead of throwing.

#include <boost/math/policies/policy.hpp>

namespace peltaro::apply {

using NanPolicy = boost::math::policies::policy<
    boost::math::policies::domain_error<boost::math::policies::ignore_error>,
    boost::math::policies::overflow_error<boost::math::policies::ignore_error>,
    boost::math::policies::evaluation_error<boost::math::policies::ignore_error>,
    boost::math::policies::rounding_error<boost::math::policies::ignore_error>>;

}  // namespace peltaro::apply
