// The text of the licence viewer (and of the file its Save writes).
#pragma once

#include <string>
#include <vector>

const std::vector<std::string>& LicenseLines();
