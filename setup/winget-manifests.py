#!/usr/bin/env python3
"""Writes the winget manifests of a release: version, installer and
default-locale files, in the multi-file form the community repository takes.

  winget-manifests.py OUT_DIR INSTALLER KEY=VALUE...

INSTALLER is the file to publish; its SHA-256 goes into the installer
manifest. The KEY=VALUE pairs are what the build knows of the package
(setup/winget.cmake): Identifier, Version, Name, Publisher, EntryKey, Url,
License, ShortDescription, PackageUrl (may be empty), and one ReturnCode
CODE:RESPONSE per exit code of Setup other than 0.

Every string is written as a YAML double-quoted scalar (JSON's form, which
YAML reads as is), so that a version such as 2.10 stays a string rather
than turning into the number 2.1.
"""
import hashlib
import json
import os
import sys

MANIFEST_VERSION = "1.10.0"
LOCALE = "en-US"
SCHEMA = "https://aka.ms/winget-manifest.{}.{}.schema.json"


def scalar(value):
    if isinstance(value, int):
        return str(value)
    return json.dumps(value, ensure_ascii=False)


def emit(value, indent=""):
    """The YAML block lines of a dict or a list of dicts and scalars."""
    lines = []
    if isinstance(value, dict):
        for key, item in value.items():
            if isinstance(item, (dict, list)):
                lines.append(f"{indent}{key}:")
                lines += emit(item, indent + "  ")
            else:
                lines.append(f"{indent}{key}: {scalar(item)}")
    else:
        for item in value:
            if isinstance(item, dict):
                first, *rest = emit(item, indent + "  ")
                lines.append(f"{indent}- {first.lstrip()}")
                lines += rest
            else:
                lines.append(f"{indent}- {scalar(item)}")
    return lines


def write(out_dir, name, manifest_type, fields, built_from):
    fields = {**fields, "ManifestType": manifest_type, "ManifestVersion": MANIFEST_VERSION}
    schema = SCHEMA.format(manifest_type.lower(), MANIFEST_VERSION)
    header = [f"# yaml-language-server: $schema={schema}",
              f"# Written by the build for {built_from}; submit as it is."]
    with open(os.path.join(out_dir, name), "w", encoding="utf-8", newline="\n") as out:
        out.write("\n".join(header + emit(fields)) + "\n")


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as data:
        for block in iter(lambda: data.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest().upper()


def parse_values(pairs):
    values = {"ReturnCode": []}
    for pair in pairs:
        key, sep, value = pair.partition("=")
        if not sep:
            sys.exit(f"winget-manifests: not KEY=VALUE: {pair}")
        if key == "ReturnCode":
            code, _, response = value.partition(":")
            values[key].append((int(code), response))
        else:
            values[key] = value
    return values


def main(argv):
    if len(argv) < 4:
        sys.exit(__doc__)
    out_dir, installer = argv[1], argv[2]
    v = parse_values(argv[3:])
    ident = {"PackageIdentifier": v["Identifier"], "PackageVersion": v["Version"]}
    built_from = os.path.basename(installer)
    os.makedirs(out_dir, exist_ok=True)

    write(out_dir, f"{v['Identifier']}.yaml", "version", {**ident, "DefaultLocale": LOCALE},
          built_from)

    write(out_dir, f"{v['Identifier']}.installer.yaml", "installer", {
        **ident,
        "InstallerType": "nullsoft",
        "Scope": "machine",
        "ElevationRequirement": "elevatesSelf",
        # Setup installs where uninstall.exe looks for the package and
        # ignores /D=, so winget's --location would do nothing.
        "UnsupportedArguments": ["location"],
        "ExpectedReturnCodes": [{"InstallerReturnCode": code, "ReturnResponse": response}
                                for code, response in sorted(v["ReturnCode"])],
        "ProductCode": v["EntryKey"],
        "AppsAndFeaturesEntries": [{
            "DisplayName": v["Name"],
            "Publisher": v["Publisher"],
            "DisplayVersion": v["Version"],
            "ProductCode": v["EntryKey"],
        }],
        # One 32-bit installer: 64-bit Windows on x64 and ARM64 runs it too.
        "Installers": [{
            "Architecture": "x86",
            "InstallerUrl": v["Url"],
            "InstallerSha256": sha256(installer),
        }],
    }, built_from)

    locale = {**ident, "PackageLocale": LOCALE, "Publisher": v["Publisher"],
              "PackageName": v["Name"]}
    if v.get("PackageUrl"):
        locale["PackageUrl"] = v["PackageUrl"]
    locale.update(License=v["License"], ShortDescription=v["ShortDescription"])
    write(out_dir, f"{v['Identifier']}.locale.{LOCALE}.yaml", "defaultLocale", locale, built_from)


if __name__ == "__main__":
    main(sys.argv)
