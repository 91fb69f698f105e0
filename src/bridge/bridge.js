(function () {})
