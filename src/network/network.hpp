// Network: one joined network, keyed by its configuration URL. The persisted
// part (config_url, disabled, name) lives in the agent configuration file.
#pragma once

#include <optional>
#include <string>

#include "util/url.hpp"

namespace sarvolt::network {

struct Network {
  util::Url config_url;
  bool disabled = false;
  std::optional<std::string> name;

  explicit Network(util::Url url, bool disabled_ = false, std::optional<std::string> name_ = std::nullopt)
      : config_url(std::move(url)), disabled(disabled_), name(std::move(name_)) {}

  // Networks the controller adds and removes have the scheme "controller".
  bool is_controller_managed() const noexcept { return config_url.scheme() == "controller"; }

  // Compares the persisted part.
  bool same_settings(const Network& o) const {
    return config_url == o.config_url && disabled == o.disabled && name == o.name;
  }
};

}  // namespace sarvolt::network
