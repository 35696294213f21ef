# install rules, package config and .deb
