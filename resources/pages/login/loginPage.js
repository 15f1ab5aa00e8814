'use strict';

function loginPage() {
    console.log('LoginPage');
    dom.hide_sidebar();
    document.querySelector('.navbar .username').textContent = '';
    document.querySelector('.navbar .logout').style.display = 'none';

    ORV.checkRootPermissions(function (hasRights) {
        setTimeout(function () {
            document.querySelector('.splash-screen').style.display = 'none';
            if (hasRights) {
                login.showPage();
                return;
            }
            ORV.canObtainRootPermissions(function (canObtain) {
                root.showPage(!canObtain);
            });
        }, login.splashDelayMs);
    });
}

// Shows a message in the feedback row; it is readable only while the row is red.
function showFeedback(container, key) {
    var feedback = container.querySelector('.form-row-feedback');
    feedback.textContent = i18next.t(key);
    feedback.classList.add('bg-red');
}

function setOverlay(container, shown) {
    container.querySelector('.form-overlay').classList.toggle('hidden', !shown);
}

var login = {
    username: undefined,
    splashDelayMs: 650,

    container: function () {
        return document.getElementById('loginContainer');
    },

    showPage: function () {
        ORV_EVENTS.addListener(EVENT_AUTH_LOGIN_SUCCESS, login.on_login_success);
        ORV_EVENTS.addListener(EVENT_AUTH_LOGIN_ERROR, login.on_login_error);
        ORV_EVENTS.addListener(EVENT_LOAD_DOMAINS_SUCCESS, login.on_domains_loaded);

        app_router.loadPage('login', {});
        var container = login.container();
        container.querySelector('input[name="username"]').focus();
        container.querySelector('.form-row-feedback').classList.remove('bg-red');
        setOverlay(container, false);

        container.querySelector('button.login').addEventListener('click', function () {
            container.querySelector('.form-row-feedback').classList.remove('bg-red');
            var username = container.querySelector('input[name="username"]').value;
            var password = container.querySelector('input[name="password"]').value;
            if (username === '') {
                showFeedback(container, 'empty_username');
            } else if (password === '') {
                showFeedback(container, 'empty_password');
            } else {
                login.username = username;
                setOverlay(container, true);
                ORV.auth.login(username, password);
            }
        });
        container.querySelector('button.forgot-password').addEventListener('click', function () {
            ORV.forgotPassword();
        });
        container.addEventListener('keyup', function (event) {
            if (event.keyCode === 13) {
                container.querySelector('button.login').click();
            }
        });

        ORV.auth.isAuthenticated(function (authenticated) {
            ORV.auth.isTryLogin(function (tryingLogin) {
                var logout = document.querySelector('.navbar .logout');
                if (tryingLogin) {
                    console.log('Already try login');
                    setOverlay(container, true);
                    logout.style.display = '';
                } else if (authenticated) {
                    console.log('Already logged in');
                    setOverlay(container, true);
                    logout.style.display = '';
                    ORV.loadDomains();
                } else {
                    logout.style.display = 'none';
                }
            });
        });
    },

    on_login_success: function () {
        console.log('SUCCESS LOGIN');
        var container = login.container();
        if (container !== null) {
            setOverlay(container, false);
        }
        ORV_EVENTS.removeListener(EVENT_AUTH_LOGIN_SUCCESS, login.on_login_success);
        ORV_EVENTS.removeListener(EVENT_AUTH_LOGIN_ERROR, login.on_login_error);
        if (login.username !== undefined) {
            document.querySelector('.navbar .username').textContent = login.username;
        }
        document.querySelector('.navbar .logout').style.display = '';
        ORV.loadDomains();
    },

    on_login_error: function () {
        var container = login.container();
        if (container === null) {
            return;
        }
        setOverlay(container, false);
        showFeedback(container, 'wrong_credentials');
    },

    on_domains_loaded: function () {
        console.log('Domains loaded');
        ORV_EVENTS.removeListener(EVENT_LOAD_DOMAINS_SUCCESS, login.on_domains_loaded);
        ORV_EVENTS.removeListener(EVENT_AUTH_LOGIN_SUCCESS, login.on_login_success);
        ORV_EVENTS.removeListener(EVENT_AUTH_LOGIN_ERROR, login.on_login_error);
        app_router.navigate('domains', { trigger: true });
    }
};

var root = {
    checkDelayMs: 500,

    showPage: function (withErrorMessage) {
        app_router.loadPage('root', {});
        var container = document.getElementById('rootContainer');
        var password = container.querySelector('input[name="password"]');
        var button = container.querySelector('button.login');
        password.focus();
        container.querySelector('.form-row-feedback').classList.remove('bg-red');
        setOverlay(container, false);

        container.addEventListener('keyup', function (event) {
            if (event.keyCode === 13) {
                button.click();
            }
        });

        var form = container.querySelector('.root-permissions-form');
        var message = container.querySelector('.root-permissions-error-message');
        if (withErrorMessage) {
            message.classList.remove('hidden');
            form.classList.add('hidden');
            button.addEventListener('click', function () {
                ORV.kill();
            });
            return;
        }
        form.classList.remove('hidden');
        message.classList.add('hidden');
        button.addEventListener('click', function () {
            container.querySelector('.form-row-feedback').classList.remove('bg-red');
            var typed = password.value;
            if (typed === '') {
                showFeedback(container, 'empty_password');
                return;
            }
            setOverlay(container, true);
            setTimeout(function () {
                ORV.checkRootPermissionsWithPassword(typed, function (accepted) {
                    if (accepted) {
                        ORV.restartAsRoot(typed);
                    } else {
                        setOverlay(container, false);
                        showFeedback(container, 'wrong_root_password');
                    }
                });
            }, root.checkDelayMs);
        });
    }
};
