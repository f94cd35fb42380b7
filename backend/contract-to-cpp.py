#!/usr/bin/python3
"""Writes the C++ header of the back-end contract from its introspection XML and the service
descriptions it answers for: the interface name, the service's bus name and object path, each
method and signal as BusMethod and BusSignal constants (backend/busclient.h), the Service enum, and
the route of each UPnP action to its method and of each evented state variable to its method and
change signal, in a namespace named after the interface's last component. Fails, writing nothing,
when contract and descriptions disagree.

  contract-to-cpp.py INTERFACE.xml SERVICE.xml... OUTPUT.h
"""
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

S = "{urn:schemas-upnp-org:service-1-0}"
DBUS_TYPE = {"string": "s", "ui4": "u"}
RESULT = {"string": "(sis)", "ui4": "(uis)"}
ANNOTATION = "com.quorvex.VehiraServer."


def signature(element, direction):
    return "".join(arg.get("type") for arg in element.findall("arg") if arg.get("direction", "in") == direction)


def annotation(element, name):
    found = element.find(f"annotation[@name='{ANNOTATION}{name}']")
    return found.get("value") if found is not None else None


def change_signal(getter):
    """The signal that announces each new value of what the getter answers."""
    return getter.get("name").removeprefix("Get") + "Changed"


def scpd(path):
    """(service, {action: ([(in argument, D-Bus type)], (out argument, UPnP type))}, [evented variable])"""
    root = ElementTree.parse(path).getroot()
    types = {v.findtext(S + "name"): v.findtext(S + "dataType") for v in root.iter(S + "stateVariable")}
    actions = {}
    for action in root.iter(S + "action"):
        arguments = [(a.findtext(S + "name"), a.findtext(S + "direction"), types[a.findtext(S + "relatedStateVariable")])
                     for a in action.iter(S + "argument")]
        outs = [(name, t) for name, direction, t in arguments if direction == "out"]
        if len(outs) != 1:
            raise ValueError(f"{action.findtext(S + 'name')}: one out argument expected, {len(outs)} found")
        actions[action.findtext(S + "name")] = ([(n, DBUS_TYPE[t]) for n, d, t in arguments if d == "in"], outs[0])
    evented = [v.findtext(S + "name") for v in root.iter(S + "stateVariable") if v.get("sendEvents") == "yes"]
    return Path(path).stem.removeprefix("Tm"), actions, evented


def action_route(service, name, inputs, out, method):
    if method is None:
        raise ValueError(f"action {name}: no back-end method")
    in_signature = "".join(t for _, t in inputs)
    url_base = signature(method, "in") == in_signature + "s"
    if (signature(method, "in") != in_signature and not url_base) or signature(method, "out") != RESULT[out[1]]:
        raise ValueError(f"action {name}: the method's signature does not match the description")
    names = ", ".join(f'"{n}"' for n, _ in inputs)
    format_ = (annotation(method, "LogPrefix") or "") + name + "(" + "".join(
        f"{n}='%{i + 1}'" for i, (n, _) in enumerate(inputs)) + ")"
    return (f'    {{Service::{service}, &{name}, {{{names}}}, {"true" if url_base else "false"}, "{out[0]}", '
            f'"{format_}"}},')


def query_route(service, variable, getters, signals):
    method = getters.get(variable)
    if method is None or signature(method, "in") or signature(method, "out") != "s":
        raise ValueError(f"variable {variable}: no back-end method that answers it with a string")
    name = method.get("name")
    changed = change_signal(method)
    if changed not in signals:
        raise ValueError(f"variable {variable}: no signal {changed}")
    format_ = (annotation(method, "LogPrefix") or "") + f"Query of {variable}='%1'"
    return f'    {{Service::{service}, "{variable}", &{name}, &{changed}, "{format_}"}},'


def routes(interface, descriptions):
    methods = {m.get("name"): m for m in interface.findall("method")}
    getters = {annotation(m, "StateVariable"): m for m in methods.values() if annotation(m, "StateVariable")}
    signals = {s.get("name") for s in interface.findall("signal")}
    parsed = [scpd(path) for path in descriptions]
    services, actions, queries, used, heard = [], [], [], set(), set()
    for service, described, evented in parsed:
        services.append(service)
        for name, (inputs, out) in described.items():
            actions.append(action_route(service, name, inputs, out, methods.get(name)))
            used.add(name)
        for variable in evented:
            queries.append(query_route(service, variable, getters, signals))
            used.add(getters[variable].get("name"))
            heard.add(change_signal(getters[variable]))
    if used != set(methods):
        raise ValueError(f"back-end methods no UPnP request reaches: {sorted(set(methods) - used)}")
    if heard != signals:
        raise ValueError(f"back-end signals no evented state variable follows: {sorted(signals - heard)}")
    width = max(len(inputs) for _, described, _ in parsed for inputs, _ in described.values())
    return [f"enum class Service {{ {', '.join(services)} }};", "",
            "// A UPnP action, relayed to the method of the same name: its in-arguments are the method's first",
            "// arguments, then the URL base where withUrlBase; the record's value is the out-argument.",
            "struct ActionRoute {", "    Service service;", "    const BusMethod *method;",
            f"    const char *inArguments[{width}];", "    bool withUrlBase;", "    const char *outArgument;",
            "    const char *debugFormat;", "};", "inline constexpr ActionRoute actionRoutes[] = {", *actions, "};", "",
            "// An evented state variable, whose value only the back-end knows: it answers the method and",
            "// signals each change.",
            "struct QueryRoute {", "    Service service;", "    const char *variable;", "    const BusMethod *method;",
            "    const BusSignal *changed;", "    const char *debugFormat;", "};", "inline constexpr QueryRoute queryRoutes[] = {", *queries, "};"]


def main(source, *descriptions_and_output):
    *descriptions, output = descriptions_and_output
    node = ElementTree.parse(source).getroot()
    interface = node.find("interface")
    name = interface.get("name")
    try:
        routed = routes(interface, descriptions)
    except (ValueError, KeyError) as error:
        sys.exit(f"contract-to-cpp: {Path(source).name} and the service descriptions disagree: {error}")
    # The service owns the name of its interface, and serves it at the node's path.
    lines = [f"// Generated from {Path(source).name} and the service descriptions; do not edit.", "#pragma once", "",
             '#include "backend/busclient.h"', "", f"namespace {name.split('.')[-1]}", "{",
             f'inline constexpr char interfaceName[] = "{name}";', f'inline constexpr char busName[] = "{name}";',
             f'inline constexpr char objectPath[] = "{node.get("name", "/")}";']
    for method in interface.findall("method"):
        lines.append(f'inline constexpr BusMethod {method.get("name")} {{"{method.get("name")}", '
                     f'"{signature(method, "in")}", "{signature(method, "out")}"}};')
    for signal in interface.findall("signal"):
        lines.append(f'inline constexpr BusSignal {signal.get("name")} {{"{signal.get("name")}", '
                     f'"{signature(signal, "in")}"}};')
    lines += ["", *routed, "}", ""]
    with open(output, "w", encoding="utf-8") as header:
        header.write("\n".join(lines))


if __name__ == "__main__":
    main(*sys.argv[1:])
