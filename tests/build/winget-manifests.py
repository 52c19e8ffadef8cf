#!/usr/bin/env python3
"""Checks the winget manifests a build wrote (setup/winget.cmake).

  winget-manifests.py check DIR INSTALLER URL
      the three files parse as YAML, each carries the fields winget
      requires of its type, they name one package, version and locale, and
      the installer manifest gives URL and the SHA-256 of INSTALLER
  winget-manifests.py entry DIR INSTALLER
      the same checks, then prints the Apps & features entry the manifests
      promise, for the installer case that reads the real one under Wine:
      the key name, then one line per value as listings show it
"""
import glob
import hashlib
import sys

import yaml

# What winget requires of each manifest type (its manifest documentation,
# schema 1.10.0), and of each entry of Installers.
REQUIRED = {
    "version": ["PackageIdentifier", "PackageVersion", "DefaultLocale"],
    "installer": ["PackageIdentifier", "PackageVersion", "Installers"],
    "defaultLocale": ["PackageIdentifier", "PackageVersion", "PackageLocale", "Publisher",
                      "PackageName", "License", "ShortDescription"],
}
PER_INSTALLER = ["Architecture", "InstallerType", "InstallerUrl", "InstallerSha256"]

problems = []


def load(folder):
    manifests = {}
    for path in sorted(glob.glob(f"{folder}/*.yaml")):
        with open(path, encoding="utf-8") as text:
            manifest = yaml.safe_load(text)
        manifests[manifest.get("ManifestType")] = manifest
        for field in REQUIRED.get(manifest.get("ManifestType"), []) + ["ManifestVersion"]:
            value = manifest.get(field)
            # YAML reads an unquoted 2.10 as the number 2.1.
            if not value or (field != "Installers" and not isinstance(value, str)):
                problems.append(f"{path}: {field} is missing or no string: {value!r}")
    if sorted(manifests) != sorted(REQUIRED):
        problems.append(f"{folder}: manifests {sorted(manifests)}, not {sorted(REQUIRED)}")
    return manifests


def check(folder, installer, url=None):
    manifests = load(folder)
    if problems:
        return manifests
    names = {(m["PackageIdentifier"], m["PackageVersion"]) for m in manifests.values()}
    locales = {manifests["version"]["DefaultLocale"], manifests["defaultLocale"]["PackageLocale"]}
    if len(names) != 1 or len(locales) != 1:
        problems.append(f"the manifests name different packages, versions or locales: {names}")
    with open(installer, "rb") as data:
        digest = hashlib.sha256(data.read()).hexdigest()
    for entry in manifests["installer"]["Installers"]:
        given = {**manifests["installer"], **entry}
        missing = [field for field in PER_INSTALLER if field not in given]
        if (missing or given["InstallerSha256"].lower() != digest
                or url not in (None, given["InstallerUrl"])):
            problems.append(f"{entry}: not {url} with {installer}'s {digest}, or no {missing}")
    return manifests


def print_entry(manifest):
    """The key name and values of the Apps & features entry, as listings show them."""
    entries = manifest.get("AppsAndFeaturesEntries") or [{}]
    if len(entries) != 1 or entries[0].get("ProductCode") != manifest.get("ProductCode"):
        problems.append("not one Apps & features entry with the installer's ProductCode")
    print(manifest.get("ProductCode"))
    for name in ("DisplayName", "DisplayVersion", "Publisher"):
        print(f'"{name}" = "{entries[0].get(name)}"')


def main(argv):
    if argv[1:2] == ["check"] and len(argv) == 5:
        check(argv[2], argv[3], argv[4])
    elif argv[1:2] == ["entry"] and len(argv) == 4:
        manifests = check(argv[2], argv[3])
        if not problems:
            print_entry(manifests["installer"])
    else:
        sys.exit(__doc__)
    for text in problems:
        print(f"FAIL: {text}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
