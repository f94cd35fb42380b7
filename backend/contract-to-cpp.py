#!/usr/bin/python3
"""Writes the C++ header of a D-Bus interface from its introspection XML: the interface name, the
service's bus name and object path, and, for each method and signal, its name and signatures as
BusMethod and BusSignal constants (backend/busclient.h), in a namespace named after the interface's
last component.

  contract-to-cpp.py INTERFACE.xml OUTPUT.h
"""
import sys
import xml.etree.ElementTree as ElementTree


def signature(element, direction):
    return "".join(arg.get("type") for arg in element.findall("arg") if arg.get("direction", "in") == direction)


def main(source, output):
    node = ElementTree.parse(source).getroot()
    interface = node.find("interface")
    name = interface.get("name")
    # The service owns the name of its interface, and serves it at the node's path.
    lines = [f"// Generated from {source.split('/')[-1]}; do not edit.", "#pragma once", "",
             '#include "backend/busclient.h"', "", f"namespace {name.split('.')[-1]}", "{",
             f'inline constexpr char interfaceName[] = "{name}";', f'inline constexpr char busName[] = "{name}";',
             f'inline constexpr char objectPath[] = "{node.get("name", "/")}";']
    for method in interface.findall("method"):
        lines.append(f'inline constexpr BusMethod {method.get("name")} {{"{method.get("name")}", '
                     f'"{signature(method, "in")}", "{signature(method, "out")}"}};')
    for signal in interface.findall("signal"):
        lines.append(f'inline constexpr BusSignal {signal.get("name")} {{"{signal.get("name")}", '
                     f'"{signature(signal, "in")}"}};')
    lines += ["}", ""]
    with open(output, "w", encoding="utf-8") as header:
        header.write("\n".join(lines))


if __name__ == "__main__":
    main(*sys.argv[1:])
