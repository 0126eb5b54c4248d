#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs with apt-get what building and testing both ABIs needs and this
# machine lacks; installs nothing when all is there.
set -euo pipefail

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v nm >/dev/null || need+=(binutils)
[ -d /usr/src/googletest ] || need+=(googletest)
[ -e /usr/lib/gcc/x86_64-linux-gnu/12/32/libstdc++.so ] || [ -n "$(ls /usr/lib/gcc/x86_64-linux-gnu/*/32/libstdc++.so 2>/dev/null)" ] || need+=(g++-multilib)
[ -e /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
[ -e /usr/include/toml++/toml.h ] || need+=(libtomlplusplus-dev)
command -v qemu-i386 >/dev/null || need+=(qemu-user)
command -v go-md2man >/dev/null || need+=(go-md2man)
# The install and release-package tests: pkg-config builds, the .deb's
# dependencies (dpkg-shlibdeps).
command -v pkg-config >/dev/null || need+=(pkg-config)
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
# The release-package test looks the installed page up with man -w.
command -v man >/dev/null || need+=(man-db)
[ -e /usr/include/crypt.h ] || need+=(libcrypt-dev)
# The i386 build links libcrypt too: its 32-bit development files come
# through multiarch.
[ -e /usr/lib/i386-linux-gnu/libcrypt.so ] || need+=(libcrypt-dev:i386)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  SUDO=; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  if [[ " ${need[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
