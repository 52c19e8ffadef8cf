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
import os
import sys

import yaml

# What winget requires of each manifest type (the manifest documentation of
# schema 1.10.0: the fields marked "Required").
REQUIRED = {
    "version": ["PackageIdentifier", "PackageVersion", "DefaultLocale", "ManifestType",
                "ManifestVersion"],
    "installer": ["PackageIdentifier", "PackageVersion", "Installers", "ManifestType",
                  "ManifestVersion"],
    "defaultLocale": ["PackageIdentifier", "PackageVersion", "PackageLocale", "Publisher",
                      "PackageName", "License", "ShortDescription", "ManifestType",
                      "ManifestVersion"],
}
# Required of each entry of Installers; InstallerType may also be given once
# for all of them, at the top.
REQUIRED_PER_INSTALLER = ["Architecture", "InstallerUrl", "InstallerSha256"]
# The responses winget knows for an expected return code.
RETURN_RESPONSES = {
    "packageInUse", "packageInUseByApplication", "installInProgress", "fileInUse",
    "missingDependency", "diskFull", "insufficientMemory", "invalidParameter", "noNetwork",
    "contactSupport", "rebootRequiredToFinish", "rebootRequiredForInstall", "rebootInitiated",
    "cancelledByUser", "alreadyInstalled", "downgrade", "blockedByPolicy", "systemNotSupported",
}

problems = []


def problem(text):
    problems.append(text)


def load(folder):
    """The manifests in folder by type; every .yaml file must be one."""
    manifests = {}
    for path in sorted(glob.glob(os.path.join(folder, "*.yaml"))):
        with open(path, encoding="utf-8") as text:
            manifest = yaml.safe_load(text)
        kind = manifest.get("ManifestType") if isinstance(manifest, dict) else None
        if kind not in REQUIRED or kind in manifests:
            problem(f"{path}: not one of one version, installer and defaultLocale manifest")
            continue
        manifests[kind] = manifest
        for field in REQUIRED[kind]:
            if manifest.get(field) in (None, "", []):
                problem(f"{path}: no {field}")
            # YAML reads an unquoted 2.10 as the number 2.1.
            elif field != "Installers" and not isinstance(manifest[field], str):
                problem(f"{path}: {field} is no string but {manifest[field]!r}")
        version = str(manifest.get("ManifestVersion", ""))
        if [int(part) for part in version.split(".") if part.isdigit()] < [1, 10, 0]:
            problem(f"{path}: ManifestVersion {version!r}, not 1.10.0 or later")
    for kind in REQUIRED.keys() - manifests.keys():
        problem(f"{folder}: no {kind} manifest")
    return manifests


def check_installer(installer_manifest, installer, url):
    with open(installer, "rb") as data:
        digest = hashlib.sha256(data.read()).hexdigest()
    for entry in installer_manifest.get("Installers") or []:
        for field in REQUIRED_PER_INSTALLER:
            if field not in entry:
                problem(f"an installer without {field}")
        if not entry.get("InstallerType", installer_manifest.get("InstallerType")):
            problem("an installer without InstallerType")
        if str(entry.get("InstallerSha256", "")).lower() != digest:
            problem(f"InstallerSha256 {entry.get('InstallerSha256')} is not {installer}'s {digest}")
        if url is not None and entry.get("InstallerUrl") != url:
            problem(f"InstallerUrl {entry.get('InstallerUrl')} is not {url}")
    for code in installer_manifest.get("ExpectedReturnCodes") or []:
        if code.get("ReturnResponse") not in RETURN_RESPONSES:
            problem(f"exit code {code.get('InstallerReturnCode')}: unknown response "
                    f"{code.get('ReturnResponse')!r}")


def check(folder, installer, url=None):
    manifests = load(folder)
    if len(manifests) < len(REQUIRED):
        return manifests
    one_package = {(str(m.get("PackageIdentifier")), str(m.get("PackageVersion")))
                   for m in manifests.values()}
    if len(one_package) != 1:
        problem(f"the manifests name different packages or versions: {sorted(one_package)}")
    if manifests["version"].get("DefaultLocale") != manifests["defaultLocale"].get("PackageLocale"):
        problem("the version manifest's DefaultLocale is not the defaultLocale manifest's locale")
    check_installer(manifests["installer"], installer, url)
    return manifests


def print_entry(installer_manifest):
    """The key name and values of the Apps & features entry, as listings show them."""
    entries = installer_manifest.get("AppsAndFeaturesEntries") or [{}]
    entry = entries[0]
    if len(entries) != 1 or entry.get("ProductCode") != installer_manifest.get("ProductCode"):
        problem("not one Apps & features entry with the installer's ProductCode")
    if entry.get("DisplayVersion") != installer_manifest.get("PackageVersion"):
        problem("the entry's DisplayVersion is not the PackageVersion winget compares")
    print(installer_manifest.get("ProductCode"))
    for name in ("DisplayName", "DisplayVersion", "Publisher"):
        print(f'"{name}" = "{entry.get(name)}"')


def main(argv):
    if len(argv) == 5 and argv[1] == "check":
        check(argv[2], argv[3], argv[4])
    elif len(argv) == 4 and argv[1] == "entry":
        manifests = check(argv[2], argv[3])
        if not problems:
            print_entry(manifests["installer"])
    else:
        sys.exit(__doc__)
    for text in problems:
        print(f"FAIL: {text}", file=sys.stderr)
    if argv[1] == "check":
        print(f"{len(REQUIRED)} manifests checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
